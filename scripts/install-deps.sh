#!/usr/bin/env bash
# Installs from Debian what building and testing quillet needs, when missing.
# Usage: scripts/install-deps.sh [native|all]   (all adds the Windows cross build and wine)
set -euo pipefail
packages=(cmake g++ make libgtest-dev python3 nkf)
if [ "${1:-native}" = all ]; then
  packages+=(mingw-w64 wine wine32:i386 locales python3-pefile clang libclang-rt-14-dev)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo=sudo
if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
  $sudo dpkg --add-architecture i386
fi
$sudo apt-get update
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
