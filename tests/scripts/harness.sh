# shellcheck shell=bash
# What the script tests share: the scripts folder, a temporary folder removed
# at exit, fake commands, and assertions (a failed one prints what it expected and is
# counted; Finish ends the test, failing when any assertion failed).
scripts=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../scripts" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
n_failures=0
bin="$tmp/bin"  # fake commands
mkdir -p "$bin"

# FakeNode VERSION: a node on "$bin" that prints VERSION.
FakeNode() {
  printf '#!/bin/sh\necho "%s"\n' "$1" >"$bin/node"
  chmod +x "$bin/node"
}

# FakeNpm: an npm on "$bin" whose pack hands over the file $FAKE_NPM_TARBALL
# as the package and notes each call in "$FAKE_NPM_LOG".
FakeNpm() {
  export FAKE_NPM_LOG="$tmp/npm.log"
  cat >"$bin/npm" <<'FAKE'
#!/bin/sh
echo "$*" >>"$FAKE_NPM_LOG"
cp "$FAKE_NPM_TARBALL" . && basename "$FAKE_NPM_TARBALL"
FAKE
  chmod +x "$bin/npm"
}

# Expect WHAT COMMAND...: counts a failure named WHAT when COMMAND fails.
Expect() {
  local what=$1
  shift
  if ! "$@"; then
    echo "FAILED: $what" >&2
    n_failures=$((n_failures + 1))
  fi
}

# Contains TEXT PART: succeeds when TEXT holds PART; otherwise shows TEXT.
Contains() {
  [[ "$1" == *"$2"* ]] && return 0
  printf '  expected "%s" in:\n%s\n' "$2" "$(sed 's/^/    | /' <<<"$1")" >&2
  return 1
}

# Lacks TEXT PART: succeeds when TEXT does not hold PART.
Lacks() {
  [[ "$1" != *"$2"* ]] && return 0
  printf '  did not expect "%s" in:\n%s\n' "$2" "$(sed 's/^/    | /' <<<"$1")" >&2
  return 1
}

# What the fetch tests share. RUN [TARBALL] runs a fetch with the fake npm
# handing over TARBALL (by default "$tarball", the made-up package, packed
# from the folder "$tmp/pack") and sets `output`, `status` and `n_downloads`;
# its result goes to "$dest", made in the work folder "$work".

# ExpectEachCutOffRedone RUN IS_COMPLETE STATE...: after each STATE (a command
# that leaves what a run cut off part-way leaves), RUN succeeds, downloads the
# package again, leaves a complete result (IS_COMPLETE) and no work folder.
ExpectEachCutOffRedone() {
  local run=$1 is_complete=$2 state
  shift 2
  for state in "$@"; do
    "$state"
    "$run"
    Expect "$state: the run after it succeeds" [ "$status" -eq 0 ]
    Expect "$state: the run after it downloads again" [ "$n_downloads" -eq 1 ]
    Expect "$state: the run after it leaves a complete result" "$is_complete"
    Expect "$state: the run after it removes the work folder" [ ! -e "$work" ]
  done
}

# ExpectTamperedRefused RUN PACKAGE: given a package whose bytes are not the
# pinned ones, RUN fails naming PACKAGE and keeps nothing of it. The package
# is a well-formed one, the made-up package ("$tmp/pack") with a file added,
# so only the integrity check can tell it from the pinned one.
ExpectTamperedRefused() {
  local run=$1 package=$2
  rm -rf "$dest" "$tmp/tampered"
  cp -r "$tmp/pack" "$tmp/tampered"
  echo "not the pinned package" >"$tmp/tampered/package/tampered"
  tar -czf "$tmp/tampered.tgz" -C "$tmp/tampered" package
  "$run" "$tmp/tampered.tgz"
  Expect "a tampered package fails" [ "$status" -ne 0 ]
  Expect "a tampered package is named as such" Contains "$output" \
    "integrity mismatch for $package: the registry's package is not the pinned one"
  Expect "a tampered package is not used" [ ! -e "$dest" ]
  Expect "a tampered package leaves nothing behind" [ ! -e "$work" ]
}

Finish() {
  if [ "$n_failures" -ne 0 ]; then
    echo "$n_failures assertion(s) failed" >&2
    exit 1
  fi
  echo "all assertions passed"
}
