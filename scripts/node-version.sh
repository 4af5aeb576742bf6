# shellcheck shell=bash
# Sourced by setup.sh: the check that the node on PATH is new enough.

node_major_needed=20  # playwright-core 1.64, which runs the page's tests, needs it

# Succeeds when `node` on PATH is release $node_major_needed or newer;
# otherwise says what is needed on stderr and returns 1.
CheckNodeVersion() {
  local version major
  version=$(node --version 2>/dev/null) || true
  major=${version#v}
  major=${major%%.*}
  if [[ "$major" =~ ^[0-9]+$ ]] && [ "$major" -ge "$node_major_needed" ]; then
    return 0
  fi
  echo "setup: Velkin needs Node.js $node_major_needed or newer (playwright-core 1.64 requires" \
       "it), but node here is ${version:-missing or broken}; Debian 12's own nodejs package" \
       "is 18. Install Node.js $node_major_needed or newer, then run scripts/setup.sh again." >&2
  return 1
}
