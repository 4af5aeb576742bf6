#!/usr/bin/env bash
# Runs every benchmark (bench/*/run.sh) against the given build folder.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
status=0
for runner in bench/*/run.sh; do
  [ -e "$runner" ] || continue
  echo "== $runner"
  "$runner" "$build" || status=1
done
exit $status
