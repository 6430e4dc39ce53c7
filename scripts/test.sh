#!/usr/bin/env bash
# Builds quillet and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh native
cmake --preset default
cmake --build --preset default
ctest --preset default
