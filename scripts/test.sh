#!/usr/bin/env bash
# Builds quillet for Linux and 32-bit Windows and runs every test: the Linux
# suite natively, the Windows build under wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh all

cmake --preset default
cmake --build --preset default
ctest --preset default

cmake --preset mingw
cmake --build --preset mingw
ctest --preset mingw
