#!/usr/bin/env bash
# Builds quillet and runs every test: the Linux suite natively and again under
# AddressSanitizer and UndefinedBehaviorSanitizer, a bounded run of each
# fuzzer (FUZZ_SECONDS each, default 60), and the Windows build under wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh all

cmake --preset default
cmake --build --preset default
ctest --preset default

cmake --preset asan
cmake --build --preset asan
ctest --preset asan

FUZZ_SECONDS="${FUZZ_SECONDS:-60}" bash fuzz/run.sh

cmake --preset mingw
cmake --build --preset mingw
ctest --preset mingw
