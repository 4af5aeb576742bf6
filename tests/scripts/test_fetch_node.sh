#!/usr/bin/env bash
# scripts/fetch-node.sh against a made-up package, offline: a node on PATH
# older than 20 gets the package's node, checked and moved into place, and the
# build then runs the page tests and benches with it; a new enough node gets
# nothing; every state a cut-off run leaves is redone; a tampered package is
# refused with its reason.
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=harness.sh
source "$(dirname "$0")/harness.sh"
script="$scripts/fetch-node.sh"
cmake=$(command -v cmake)

# --- a package as npm would pack it: a node, and what the build needs not ---
mkdir -p "$tmp/pack/package/bin" "$tmp/pack/package/include/node"
cat >"$tmp/pack/package/bin/node" <<'NODE'
#!/bin/sh
if [ "$1" = --version ]; then echo v22.99.0; else echo "pinned node ran $*"; fi
NODE
chmod +x "$tmp/pack/package/bin/node"
echo "/* a header */" >"$tmp/pack/package/include/node/node.h"
tarball="$tmp/fake-node-1.0.0.tgz"
tar -czf "$tarball" -C "$tmp/pack" package
integrity="sha512-$(openssl dgst -sha512 -binary "$tarball" | base64 -w0)"

# PATH holds the fake commands and the few tools the script needs, nothing else.
for tool in basename base64 cat cp dirname gzip mkdir mv openssl rm tail tar wc make sed; do
  ln -s "$(command -v "$tool")" "$bin/$tool"
done
FakeNpm

tree="$tmp/tree"
dest="$tree/third_party/node"
work="$tree/third_party/node-download"

# Bring [TARBALL [INTEGRITY]]: runs the script's BringPinnedNode with the fake
# npm handing over TARBALL; sets `output`, `status` and `n_downloads`.
Bring() {
  : >"$FAKE_NPM_LOG"
  status=0
  output=$(PATH="$bin" FAKE_NPM_TARBALL="${1:-$tarball}" \
    "$BASH" -c 'source "$1"; BringPinnedNode "$2" "$3" "$4"' bring "$script" \
    fake-node@1.0.0 "${2:-$integrity}" "$dest" 2>&1) || status=$?
  n_downloads=$(wc -l <"$FAKE_NPM_LOG")
}

IsCompletePinnedNode() {
  [ "$("$dest/bin/node" --version)" = v22.99.0 ] && [ ! -e "$dest/include" ]
}

# --- the check of the node on PATH: new enough, too old, hostile ---
# NewEnough: sets `status` to the check's for the node now on "$bin".
NewEnough() {
  status=0
  PATH="$bin" "$BASH" -c 'source "$1"; NodeIsNewEnough' check "$script" || status=$?
}
for version in v20.0.0 v22.11.0 v100.2.3; do
  FakeNode "$version"
  NewEnough
  Expect "node $version is new enough" [ "$status" -eq 0 ]
done
for version in v18.19.0 v9.11.2 v2.0.0 "" "v20abc" "Segmentation fault"; do
  FakeNode "$version"
  NewEnough
  Expect "node \"$version\" is not" [ "$status" -ne 0 ]
done
printf '#!/bin/sh\necho v22.0.0\nexit 1\n' >"$bin/node"
NewEnough
Expect "a node that fails is not" [ "$status" -ne 0 ]
rm "$bin/node"
NewEnough
Expect "no node is not" [ "$status" -ne 0 ]

# --- valid: a new node gets nothing; an old one the pinned node, once ---
FakeNode v20.11.1
Bring
Expect "a new node brings nothing" [ "$status" -eq 0 ]
Expect "a new node downloads nothing" [ "$n_downloads" -eq 0 ]
Expect "a new node gets no pinned one" [ ! -e "$dest" ]

# The build, seen through a project that looks node up as the real one does:
# configured first while only the old node is there, as a build folder made
# before set-up brought the pinned one would be.
mkdir -p "$tree/cmake" "$tree/bench/page" "$tree/build/generated"
cp "$scripts/../cmake/velkin_node.cmake" "$tree/cmake/"
cp "$scripts/../bench/page/run.sh" "$tree/bench/page/"
printf 'cmake_minimum_required(VERSION 3.25)\nproject(lookup NONE)\ninclude(cmake/velkin_node.cmake)\n' \
  >"$tree/CMakeLists.txt"
echo '#define VELKIN_ASSET_BASE "velkin://app/"' >"$tree/build/generated/velkin_names.h"
# Configure: configures the project; sets `node` to the node it chose.
Configure() {
  PATH="$bin" "$cmake" -S "$tree" -B "$tree/build" >/dev/null
  node=$(sed -n 's/^VELKIN_NODE:FILEPATH=//p' "$tree/build/CMakeCache.txt")
}

FakeNode v18.19.0
Configure
Expect "without the pinned node the build takes the one on PATH" [ "$node" = "$bin/node" ]
Bring
Expect "an old node brings the pinned one" [ "$status" -eq 0 ]
Expect "an old node says why" Contains "$output" "node here is v18.19.0, older than the page tests need (20)"
Expect "an old node downloads the package once" [ "$n_downloads" -eq 1 ]
Expect "the pinned node is the package's, and only its binary" IsCompletePinnedNode
Expect "the work folder is removed" [ ! -e "$work" ]
Configure
Expect "the build takes the pinned node once it is there" [ "$node" = "$dest/bin/node" ]
Expect "the benches run on the pinned node" \
  Contains "$(PATH="$bin" "$BASH" "$tree/bench/page/run.sh" "$tree/build")" "pinned node ran $tree/bench/page/render_bench.js"
Bring
Expect "a complete pinned node counts as done" [ "$status" -eq 0 ]
Expect "a complete pinned node is not downloaded again" [ "$n_downloads" -eq 0 ]

# --- interrupted: each state a run cut off part-way leaves is redone ---
CutOffDuringDownload() {
  rm -rf "$dest"
  mkdir -p "$work"
  head -c 100 "$tarball" >"$work/fake-node-1.0.0.tgz"
}
CutOffDuringExtraction() {
  rm -rf "$dest"
  mkdir -p "$work/package/bin"
  cp "$tarball" "$work/package.tgz"
  head -c 10 "$tmp/pack/package/bin/node" >"$work/package/bin/node"
}
# Moved into place but cut off before the integrity file was written: the
# binary may be partial.
CutOffBeforeStamp() {
  Bring
  rm "$dest/integrity"
  head -c 10 "$tmp/pack/package/bin/node" >"$dest/bin/node"
}
# An older pin's node is not the pinned one.
OlderPin() {
  Bring
  echo "sha512-older" >"$dest/integrity"
}
ExpectEachCutOffRedone Bring IsCompletePinnedNode \
  CutOffDuringDownload CutOffDuringExtraction CutOffBeforeStamp OlderPin

# --- hostile: a package whose bytes are not the pinned ones ---
ExpectTamperedRefused Bring fake-node@1.0.0

# --- hostile: a package whose node does not run here (another machine's) ---
echo "not a program" >"$tmp/pack/package/bin/node"
tar -czf "$tmp/foreign.tgz" -C "$tmp/pack" package
Bring "$tmp/foreign.tgz" "sha512-$(openssl dgst -sha512 -binary "$tmp/foreign.tgz" | base64 -w0)"
Expect "a node that does not run fails" [ "$status" -ne 0 ]
Expect "a node that does not run is named as such" \
  Contains "$output" "fake-node@1.0.0's node does not run on this machine"
Expect "a node that does not run is not used" [ ! -e "$dest" ]
Expect "a node that does not run leaves nothing behind" [ ! -e "$work" ]
Configure
Expect "without the pinned node the build goes back to the one on PATH" [ "$node" = "$bin/node" ]

Finish
