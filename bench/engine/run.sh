#!/usr/bin/env bash
# Engine benchmarks: bench/engine/run.sh <build dir> [rounds, default 3]. Writes the benchmark models
# into the build folder on the first run and reuses them afterwards.
set -euo pipefail
build=${1:?usage: bench/engine/run.sh <build dir>}
"$build/bench/engine/engine_bench" "$build/bench/engine/model" "${@:2}"
echo
"$build/bench/engine/hostile_bench" "$build/bench/engine/model" "${@:2}"
echo
"$build/bench/engine/busy_bench" "$build/bench/engine/model" "${@:2}"
