#!/usr/bin/env bash
# Prints the chat page's render figures, measured in Chromium.
# Usage: bench/page/run.sh <absolute build dir>
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: run.sh <build dir>}
base=$(sed -n 's/^#define VELKIN_ASSET_BASE "\(.*\)"$/\1/p' "$build/generated/velkin_names.h")
node=$(sed -n 's/^VELKIN_NODE:FILEPATH=//p' "$build/CMakeCache.txt")
exec "$node" "$here/render_bench.js" --html "$build/page/chat_page.html" --assets "$build/app" --asset-base "$base"
