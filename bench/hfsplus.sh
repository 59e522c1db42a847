#!/usr/bin/env bash
# HFS+ parse and recovery against The Sleuth Kit, in the same run, on a volume of 100 000
# files in one folder built by tests/fixtures/hfsplus/make_hfsplus.py (512-byte blocks,
# 8 KiB catalog nodes, a three-level catalog B-tree):
#   prendle-cli list vs fls -r -p, and prendle-cli recover vs tsk_recover -a.
# Prints best-of-RUNS wall times, the ratio prendle / peer and peak memory (KiB).
# Usage: bench/hfsplus.sh [RUNS]   (needs sleuthkit and python3)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
cli=build/release/bin/prendle-cli
cmake --preset release >/dev/null && cmake --build --preset release --target prendle-cli >/dev/null
work=build/bench/hfsplus
mkdir -p "$work"
image=$work/many.raw
if [ ! -f "$image" ]; then
    echo "making $image: 100 000 files..."
    python3 tests/fixtures/hfsplus/make_hfsplus.py "$image" "$work/many.json" \
        --block-size 512 --node-size 8192 --contiguous-catalog --many 100000 \
        --many-bytes 300 --total-kib 131072
fi
cat "$image" > /dev/null

. bench/lib.sh
row_header
row "100k files: list vs fls -r -p" "$cli list $image" "fls -r -p $image"
row "100k files: recover vs tsk_recover -a" "$cli recover $image --out $work/out" \
    "tsk_recover -a $image $work/out"
rm -rf "$work/out"
