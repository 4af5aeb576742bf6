#!/usr/bin/env bash
# Engine benchmark: bench/engine/run.sh <build dir> [rounds, default 3]. Writes the benchmark model
# into the build folder on its first run and reuses it afterwards.
set -euo pipefail
build=${1:?usage: bench/engine/run.sh <build dir>}
exec "$build/bench/engine/engine_bench" "$build/bench/engine/model" "${@:2}"
