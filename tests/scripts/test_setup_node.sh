#!/usr/bin/env bash
# scripts/setup.sh and its Node.js check, with fake commands only: a node
# older than 20 stops set-up with a sentence naming what is needed, before
# apt or npm run when that node was already there, and right after apt when
# apt brought it.
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=harness.sh
source "$(dirname "$0")/harness.sh"
needed="Velkin needs Node.js 20 or newer"

# --- fake commands; PATH holds these and nothing else ---
bin="$tmp/bin"
mkdir -p "$bin"
for tool in dirname grep id cmp cp mkdir; do ln -s "$(command -v "$tool")" "$bin/$tool"; done
# FakeCommand NAME BODY: a shell script that notes its call, then runs BODY.
FakeCommand() {
  printf '#!/bin/sh\necho "%s $*" >>"%s"\n%s\n' "$1" "$tmp/calls" "$2" >"$bin/$1"
  chmod +x "$bin/$1"
}
# FakeNode VERSION: a node that prints VERSION.
FakeNode() {
  printf '#!/bin/sh\necho "%s"\n' "$1" >"$bin/node"
  chmod +x "$bin/node"
}
# Debian's nodejs is not installed (a node may come from elsewhere), nor is one
# other package, so apt has work whenever set-up reaches it.
FakeCommand dpkg-query 'case "$*" in *nodejs | *chromium) echo "unknown ok not-installed" ;; *) echo "install ok installed" ;; esac'
FakeCommand sudo '"$@"'
# apt brings the node Debian 12 packages.
FakeCommand apt-get "case \"\$*\" in *nodejs*) printf '#!/bin/sh\\necho v18.19.0\\n' >'$bin/node'; /bin/chmod +x '$bin/node';; esac"
FakeCommand npm '/bin/mkdir -p node_modules && : >node_modules/.package-lock.json'

# CheckNode: the check alone; sets `output` and `status`.
CheckNode() {
  status=0
  output=$(PATH="$bin" "$BASH" -c 'source "$1"; CheckNodeVersion' check "$scripts/node-version.sh" 2>&1) || status=$?
}

# --- the check alone: valid, too old, hostile ---
for version in v20.0.0 v22.11.0 v100.2.3; do
  FakeNode "$version"
  CheckNode
  Expect "node $version passes" [ "$status" -eq 0 ]
  Expect "node $version passes quietly" [ -z "$output" ]
done
for version in v18.19.0 v9.11.2 v2.0.0 "" "v20abc" "Segmentation fault"; do
  FakeNode "$version"
  CheckNode
  Expect "node \"$version\" fails" [ "$status" -ne 0 ]
  Expect "node \"$version\" gets the sentence" Contains "$output" "$needed"
done
rm "$bin/node"
CheckNode
Expect "no node fails" [ "$status" -ne 0 ]
Expect "no node gets the sentence" Contains "$output" "$needed (playwright-core 1.64 requires it), but node here is missing or broken"

# --- the whole set-up, in a copy of the tree whose llama.cpp fetch is fake ---
mkdir -p "$tmp/tree/scripts"
cp "$scripts/setup.sh" "$scripts/node-version.sh" "$tmp/tree/scripts/"
echo '{}' >"$tmp/tree/package-lock.json"
printf '#!/bin/sh\necho "fetch-llama" >>"%s"\n' "$tmp/calls" >"$tmp/tree/scripts/fetch-llama.sh"
chmod +x "$tmp/tree/scripts/fetch-llama.sh"

# Setup: runs the copy's setup.sh; sets `output`, `status` and `calls`.
Setup() {
  : >"$tmp/calls"
  rm -rf "$tmp/tree/node_modules"
  status=0
  output=$(PATH="$bin" "$BASH" "$tmp/tree/scripts/setup.sh" 2>&1) || status=$?
  calls=$(cat "$tmp/calls")
}

FakeNode v18.19.0
Setup
Expect "an old node stops set-up" [ "$status" -ne 0 ]
Expect "an old node gets the sentence" Contains "$output" "but node here is v18.19.0"
Expect "an old node stops set-up before apt" Lacks "$calls" "apt-get"
Expect "an old node stops set-up before npm" Lacks "$calls" "npm"
Expect "an old node stops set-up before the fetch" Lacks "$calls" "fetch-llama"

rm "$bin/node"
Setup
Expect "a fresh machine gets node from apt" Contains "$calls" "apt-get install -y -q --no-install-recommends chromium nodejs"
Expect "apt's old node stops set-up" [ "$status" -ne 0 ]
Expect "apt's old node gets the sentence" Contains "$output" "but node here is v18.19.0"
Expect "apt's old node stops set-up before npm" Lacks "$calls" "npm"
Expect "apt's old node stops set-up before the fetch" Lacks "$calls" "fetch-llama"

FakeNode v20.11.1
Setup
Expect "a new node lets set-up finish" [ "$status" -eq 0 ]
Expect "a new node lets apt install the rest" Contains "$calls" "apt-get install -y -q --no-install-recommends chromium"
Expect "a new node is not replaced by apt's" Lacks "$calls" "nodejs"
Expect "a new node goes on to npm" Contains "$calls" "npm ci"
Expect "a new node goes on to the fetch" Contains "$calls" "fetch-llama"

Finish
