#!/usr/bin/env bash
# scripts/setup.sh with fake commands only: whatever node is here, old or new,
# set-up goes on to npm and to the Node.js and llama.cpp fetches (the first
# brings a pinned node when this one is too old for the page tests); apt
# installs Debian's nodejs only when there is no node at all.
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=harness.sh
source "$(dirname "$0")/harness.sh"

# --- fake commands; PATH holds these and nothing else ---
for tool in dirname grep id cmp cp mkdir; do ln -s "$(command -v "$tool")" "$bin/$tool"; done
# FakeCommand NAME BODY: a shell script that notes its call, then runs BODY.
FakeCommand() {
  printf '#!/bin/sh\necho "%s $*" >>"%s"\n%s\n' "$1" "$tmp/calls" "$2" >"$bin/$1"
  chmod +x "$bin/$1"
}
# Debian's nodejs is not installed (a node may come from elsewhere), nor is one
# other package, so apt has work whenever set-up reaches it.
FakeCommand dpkg-query 'case "$*" in *nodejs | *chromium) echo "unknown ok not-installed" ;; *) echo "install ok installed" ;; esac'
FakeCommand sudo '"$@"'
# apt brings the node Debian 12 packages.
FakeCommand apt-get "case \"\$*\" in *nodejs*) printf '#!/bin/sh\\necho v18.19.0\\n' >'$bin/node'; /bin/chmod +x '$bin/node';; esac"
FakeCommand npm '/bin/mkdir -p node_modules && : >node_modules/.package-lock.json'

# --- the whole set-up, in a copy of the tree whose fetches are fake ---
mkdir -p "$tmp/tree/scripts"
cp "$scripts/setup.sh" "$tmp/tree/scripts/"
echo '{}' >"$tmp/tree/package-lock.json"
# The Node.js fetch notes the node it finds, which decides what it brings.
printf '#!/bin/sh\necho "fetch-node facing node $(node --version)" >>"%s"\n' "$tmp/calls" >"$tmp/tree/scripts/fetch-node.sh"
printf '#!/bin/sh\necho "fetch-llama" >>"%s"\n' "$tmp/calls" >"$tmp/tree/scripts/fetch-llama.sh"
chmod +x "$tmp/tree/scripts/fetch-node.sh" "$tmp/tree/scripts/fetch-llama.sh"

# Setup: runs the copy's setup.sh; sets `output`, `status` and `calls`.
Setup() {
  : >"$tmp/calls"
  rm -rf "$tmp/tree/node_modules"
  status=0
  output=$(PATH="$bin" "$BASH" "$tmp/tree/scripts/setup.sh" 2>&1) || status=$?
  calls=$(cat "$tmp/calls")
}

# What set-up ran after apt, in order, whatever the node.
after_apt="npm ci --ignore-scripts --no-audit --no-fund
fetch-node facing node %s
fetch-llama"

# case: the node here before set-up ("none": no node) | what apt is asked to
# install | the node the Node.js fetch faces
while IFS='|' read -r node apt_installs faced; do
  if [ "$node" = none ]; then rm -f "$bin/node"; else FakeNode "$node"; fi
  Setup
  Expect "node $node: set-up finishes" [ "$status" -eq 0 ]
  Expect "node $node: apt installs $apt_installs" \
    Contains "$calls" "apt-get install -y -q --no-install-recommends $apt_installs"$'\n'
  # shellcheck disable=SC2059  # the format is ours
  Expect "node $node: npm, then both fetches" Contains "$calls" "$(printf "$after_apt" "$faced")"
done <<'CASES'
v18.19.0|chromium|v18.19.0
none|chromium nodejs|v18.19.0
v20.11.1|chromium|v20.11.1
CASES

Finish
