#!/usr/bin/env bash
# Builds quillet and converts the bundled sample mailbox.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh native
cmake --preset default >/dev/null
cmake --build --preset default --target quillet nkf32
build/default/quillet examples/sample.mbox
out='build/default/quillet_out/sample_$$$.mbox'
echo "Converted examples/sample.mbox -> $out"
echo "First lines (CR shown as ^M):"
head -n 12 "$out" | cat -v
