#!/usr/bin/env bash
# Fetches the llama.cpp source that node-llama-cpp 3.21.1 ships as a git
# bundle, checks the package's integrity, and checks it out into
# third_party/llama.cpp at the pinned commit. Does nothing when it is there.
# Sourced (as its test does), it only defines its functions.
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=npm-pack.sh
source "$(dirname "${BASH_SOURCE[0]}")/npm-pack.sh"

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

  local work
  work="$(dirname "$dest")/download"
  rm -rf "$work" "$dest"
  mkdir -p "$work"
  PackVerified "$package" "$work" "$integrity" || return 1

  # --- the checkout, moved into place once complete ---
  tar -xzf "$work/package.tgz" -C "$work" package/llama/gitRelease.bundle
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
