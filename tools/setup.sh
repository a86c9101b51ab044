#!/usr/bin/env bash
# Installs what building, running and testing Pellimor Wharfline needs on Debian 12:
# the Debian packages that are missing, then the npm packages of package.json.
# Safe to run again: it installs only what is not there yet.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev libgl-dev
  libgmime-3.0-dev libuchardet-dev libcli11-dev libjemalloc-dev libssl-dev libxxhash-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  fonts-wine fontconfig
  pff-tools pst-utils python3 python3-pypff
)
# Node.js may come from elsewhere than Debian; only a machine without npm gets Debian's.
command -v npm >/dev/null 2>&1 || packages+=(nodejs npm)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
  [ "$status" = "installed" ] || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing Debian packages: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The npm readers used by the round-trip tests; installed into ./node_modules.
if [ -f package.json ]; then
  if [ ! -d node_modules ] || [ package-lock.json -nt node_modules ]; then
    echo "setup: installing npm packages"
    npm ci --no-audit --no-fund --loglevel=error
    touch node_modules
  fi
fi
