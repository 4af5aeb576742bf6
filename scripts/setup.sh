#!/usr/bin/env bash
# Installs everything Velkin builds and tests with on Debian 12: the system
# packages, the pinned npm packages, a pinned Node.js for the page tests when
# the node here is too old for them, and the pinned llama.cpp source.
# Safe to run again: each step skips what is already in place.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  build-essential cmake pkg-config git ca-certificates openssl
  libgtest-dev
  libgtk-3-dev libwebkit2gtk-4.1-dev
  libcairo2-dev libpango1.0-dev
  binutils-mingw-w64-x86-64
  xvfb xauth
  fonts-noto-color-emoji
  chromium
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
# A node already here is left in place, whatever its release (an old one gets
# a pinned one beside it for the page tests: scripts/fetch-node.sh).
if ! command -v node >/dev/null 2>&1; then missing+=(nodejs); fi
if ! command -v npm >/dev/null 2>&1; then missing+=(npm); fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# npm packages, exactly as the lock file pins them (no install scripts run,
# so any node that runs npm will do).
if [ ! -f node_modules/.package-lock.json ] || ! cmp -s package-lock.json node_modules/.velkin-lock; then
  npm ci --ignore-scripts --no-audit --no-fund
  cp package-lock.json node_modules/.velkin-lock
fi

scripts/fetch-node.sh
scripts/fetch-llama.sh
