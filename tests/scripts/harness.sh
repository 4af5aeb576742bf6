# shellcheck shell=bash
# What the script tests share: the scripts folder, a temporary folder removed
# at exit, and assertions (a failed one prints what it expected and is
# counted; Finish ends the test, failing when any assertion failed).
scripts=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../scripts" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
n_failures=0

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

Finish() {
  if [ "$n_failures" -ne 0 ]; then
    echo "$n_failures assertion(s) failed" >&2
    exit 1
  fi
  echo "all assertions passed"
}
