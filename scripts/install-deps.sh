#!/usr/bin/env bash
# Installs from Debian what building and testing quillet needs, when missing.
# Usage: scripts/install-deps.sh native|all|PACKAGE...
#   native  the Linux build and its tests
#   all     adds the Windows cross build, wine, the sanitizers' and fuzzers' clang
#   PACKAGE the named Debian packages (as the benchmark and fuzz scripts use it)
set -euo pipefail
native=(cmake g++ make libgtest-dev python3 nkf)
case "${1:-native}" in
  native) packages=("${native[@]}") ;;
  all) packages=("${native[@]}" mingw-w64 wine wine32:i386 locales python3-pefile clang libclang-rt-14-dev) ;;
  *) packages=("$@") ;;
esac

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
