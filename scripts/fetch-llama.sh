#!/usr/bin/env bash
# Fetches the llama.cpp source that node-llama-cpp 3.21.1 ships as a git
# bundle, checks the package's integrity, and checks it out into
# third_party/llama.cpp at the pinned commit. Does nothing when it is there.
# Sourced (as its test does), it only defines its functions.
set -euo pipefail

# Succeeds when $1 is a complete checkout of commit $2. A run cut off after
# its clone leaves the commit as HEAD with files missing, so both count;
# a file edited in place is not a missing one.
CheckoutIsComplete() {
  local dest=$1 commit=$2
  [ -d "$dest/.git" ] &&
    [ "$(git -C "$dest" rev-parse HEAD 2>/dev/null)" = "$commit" ] &&
    git -C "$dest" diff --quiet --diff-filter=D HEAD 2>/dev/null
}

# Puts commit $3 of the bundle in npm package $1 (integrity $2) at $4 unless
# a complete checkout is there. The checkout is made in a work folder beside
# $4 and moved into place last, so $4 never holds a partial one. Returns 1
# with the reason on stderr when the download or the integrity check fails.
FetchLlama() {
  local package=$1 integrity=$2 commit=$3 dest=$4
  CheckoutIsComplete "$dest" "$commit" && return 0

  # --- the package, as npm's registry has it ---
  local work tarball actual
  work="$(dirname "$dest")/download"
  rm -rf "$work" "$dest"
  mkdir -p "$work"
  echo "fetch-llama: downloading $package"
  # npm's own error (shown at this log level) says why a download failed.
  if ! tarball=$(cd "$work" && npm pack --loglevel=error "$package" | tail -n 1); then
    echo "fetch-llama: could not download $package (npm's error is above). Check the" \
         "network and that npm can reach its registry (npm config get registry)," \
         "then run scripts/setup.sh again." >&2
    return 1
  fi
  actual="sha512-$(openssl dgst -sha512 -binary "$work/$tarball" | base64 -w0)"
  if [ "$actual" != "$integrity" ]; then
    echo "fetch-llama: integrity mismatch for $package" >&2
    echo "  expected $integrity" >&2
    echo "  got      $actual" >&2
    return 1
  fi

  # --- the checkout, moved into place once complete ---
  tar -xzf "$work/$tarball" -C "$work" package/llama/gitRelease.bundle
  git clone --quiet --no-checkout "$work/package/llama/gitRelease.bundle" "$work/checkout"
  git -C "$work/checkout" -c advice.detachedHead=false checkout --quiet "$commit"
  mv "$work/checkout" "$dest"
  rm -rf "$work"
  echo "fetch-llama: llama.cpp $commit in $dest"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  cd "$(dirname "$0")/.."
  FetchLlama "node-llama-cpp@3.21.1" \
    "sha512-E3N0Ev2Va0wzydvXYFwM9Hvyo07PoWjt8T/9GMc43Cvt8YkV/NU/tYUgEMC1grTPv2o9PRjQi0G3Wb5P/awiMg==" \
    "80fb11ac73e66d89eae2c6a91d8a77428fa733ed" "third_party/llama.cpp"
fi
