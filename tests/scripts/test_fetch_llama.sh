#!/usr/bin/env bash
# scripts/fetch-llama.sh against a made-up package, offline: every state a
# cut-off run leaves is redone, a complete checkout is left alone, and a
# tampered package or a failed download stops with its reason.
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=harness.sh
source "$(dirname "$0")/harness.sh"
script="$scripts/fetch-llama.sh"

# --- a package as npm would pack it: a small repository as a git bundle ---
git init -q "$tmp/repo"
mkdir -p "$tmp/repo/src"
echo "project(llama)" >"$tmp/repo/CMakeLists.txt"
echo "int main() { return 0; }" >"$tmp/repo/src/llama.cpp"
git -C "$tmp/repo" add .
git -C "$tmp/repo" -c user.name=test -c user.email=test@velkin.invalid commit -q -m source
commit=$(git -C "$tmp/repo" rev-parse HEAD)
mkdir -p "$tmp/pack/package/llama"
bundle="$tmp/pack/package/llama/gitRelease.bundle"
git -C "$tmp/repo" bundle create -q "$bundle" HEAD
tarball="$tmp/fake-llama-1.0.0.tgz"
tar -czf "$tarball" -C "$tmp/pack" package
integrity="sha512-$(openssl dgst -sha512 -binary "$tarball" | base64 -w0)"

FakeNpm

dest="$tmp/third_party/llama.cpp"
work="$tmp/third_party/download"

# Fetch [TARBALL]: runs the script's FetchLlama with the fake npm on PATH;
# sets `output`, `status` and `n_downloads`.
Fetch() {
  : >"$FAKE_NPM_LOG"
  status=0
  output=$(PATH="$bin:$PATH" FAKE_NPM_TARBALL="${1:-$tarball}" \
    bash -c 'source "$1"; FetchLlama "$2" "$3" "$4" "$5"' fetch "$script" \
    fake-llama@1.0.0 "$integrity" "$commit" "$dest" 2>&1) || status=$?
  n_downloads=$(wc -l <"$FAKE_NPM_LOG")
}

IsCompleteCheckout() {
  [ "$(git -C "$dest" rev-parse HEAD)" = "$commit" ] &&
    [ -f "$dest/CMakeLists.txt" ] && [ -f "$dest/src/llama.cpp" ] &&
    [ -z "$(git -C "$dest" status --porcelain)" ]
}

# --- valid: a first fetch, then runs that find it done ---
Fetch
Expect "a first fetch succeeds" [ "$status" -eq 0 ]
Expect "a first fetch checks out every file" IsCompleteCheckout
Expect "a first fetch downloads once" [ "$n_downloads" -eq 1 ]
Expect "a first fetch removes its work folder" [ ! -e "$work" ]
Fetch
Expect "a complete checkout counts as done" [ "$status" -eq 0 ]
Expect "a complete checkout is not downloaded again" [ "$n_downloads" -eq 0 ]
echo "// tuned" >>"$dest/src/llama.cpp"
Fetch
Expect "an edited file is not a missing one" [ "$n_downloads" -eq 0 ]
Expect "an edited file is kept" grep -q tuned "$dest/src/llama.cpp"

# --- interrupted: each state a run cut off part-way leaves is redone ---
CutOffAfterClone() {
  rm -rf "$dest"
  git clone -q --no-checkout "$bundle" "$dest"
}
CutOffDuringCheckout() {
  CutOffAfterClone
  git -C "$dest" show HEAD:CMakeLists.txt >"$dest/CMakeLists.txt"
}
CutOffDuringDownload() {
  rm -rf "$dest"
  mkdir -p "$work/checkout"
  head -c 100 "$tarball" >"$work/fake-llama-1.0.0.tgz"
}
ExpectEachCutOffRedone Fetch IsCompleteCheckout CutOffAfterClone CutOffDuringCheckout CutOffDuringDownload

# --- hostile: a package whose bytes are not the pinned ones ---
ExpectTamperedRefused Fetch fake-llama@1.0.0

# --- a failed download: npm's own reason, then what to do ---
# The real npm, kept offline with an empty cache, fails as it would without
# a network.
status=0
output=$(npm_config_offline=true npm_config_cache="$tmp/npm-cache" \
  bash -c 'source "$1"; FetchLlama "$2" "$3" "$4" "$5"' fetch "$script" \
  fake-llama@1.0.0 "$integrity" "$commit" "$dest" 2>&1) || status=$?
Expect "a failed download fails" [ "$status" -ne 0 ]
Expect "a failed download shows npm's error" Contains "$output" "ENOTCACHED"
Expect "a failed download says what to do" \
  Contains "$output" "Check the network and that npm can reach its registry"
Expect "a failed download leaves no checkout" [ ! -e "$dest" ]
Expect "a failed download leaves nothing behind" [ ! -e "$work" ]

Finish
