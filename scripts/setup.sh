#!/usr/bin/env bash
# Installs everything Velkin builds and tests with on Debian 12: the system
# packages, the pinned npm packages and the pinned llama.cpp source.
# Safe to run again: each step skips what is already in place.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/node-version.sh

# An old node stops set-up before anything is installed; on a fresh machine
# node comes with the packages below and is checked after them.
if command -v node >/dev/null 2>&1; then CheckNodeVersion; fi

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
# A node from elsewhere (a newer release than Debian's) is left in place.
if ! command -v node >/dev/null 2>&1; then missing+=(nodejs); fi
if ! command -v npm >/dev/null 2>&1; then missing+=(npm); fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
CheckNodeVersion

# npm packages, exactly as the lock file pins them (no install scripts run).
if [ ! -f node_modules/.package-lock.json ] || ! cmp -s package-lock.json node_modules/.velkin-lock; then
  npm ci --ignore-scripts --no-audit --no-fund
  cp package-lock.json node_modules/.velkin-lock
fi

scripts/fetch-llama.sh
