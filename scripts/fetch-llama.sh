#!/usr/bin/env bash
# Fetches the llama.cpp source that node-llama-cpp 3.21.1 ships as a git
# bundle, checks the package's integrity, and checks it out into
# third_party/llama.cpp at the pinned commit. Does nothing when it is there.
set -euo pipefail
cd "$(dirname "$0")/.."

package="node-llama-cpp@3.21.1"
integrity="sha512-E3N0Ev2Va0wzydvXYFwM9Hvyo07PoWjt8T/9GMc43Cvt8YkV/NU/tYUgEMC1grTPv2o9PRjQi0G3Wb5P/awiMg=="
commit="80fb11ac73e66d89eae2c6a91d8a77428fa733ed"
dest="third_party/llama.cpp"

if [ -d "$dest/.git" ] && [ "$(git -C "$dest" rev-parse HEAD 2>/dev/null)" = "$commit" ]; then
  exit 0
fi

work="third_party/download"
rm -rf "$work" "$dest"
mkdir -p "$work"
echo "fetch-llama: downloading $package"
tarball=$(cd "$work" && npm pack --silent "$package" | tail -n 1)
actual="sha512-$(openssl dgst -sha512 -binary "$work/$tarball" | base64 -w0)"
if [ "$actual" != "$integrity" ]; then
  echo "fetch-llama: integrity mismatch for $package" >&2
  echo "  expected $integrity" >&2
  echo "  got      $actual" >&2
  exit 1
fi

tar -xzf "$work/$tarball" -C "$work" package/llama/gitRelease.bundle
git clone --quiet --no-checkout "$work/package/llama/gitRelease.bundle" "$dest"
git -C "$dest" -c advice.detachedHead=false checkout --quiet "$commit"
rm -rf "$work"
echo "fetch-llama: llama.cpp $commit in $dest"
