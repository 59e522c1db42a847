#!/usr/bin/env bash
# ext4 parse and recovery against The Sleuth Kit, in the same run: a 64-bit ext4 volume of
# 200 000 files in 200 folders made by mkfs.ext4 -d (no mount), prendle-cli list vs
# fls -r -p, and prendle-cli recover vs tsk_recover -a.
# Prints best-of-RUNS wall times, the ratio prendle / peer and peak memory (KiB).
# Usage: bench/ext.sh [RUNS]   (needs e2fsprogs, sleuthkit; no root)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
cli=build/release/bin/prendle-cli
cmake --preset release >/dev/null && cmake --build --preset release --target prendle-cli >/dev/null
work=build/bench/ext
mkdir -p "$work"

image=$work/many.img
if [ ! -f "$image" ]; then
    echo "making $image: 200 folders of 1000 files..."
    rm -rf "$work/tree"
    python3 - "$work/tree" <<'PY'
import os, sys
root = sys.argv[1]
for d in range(200):
    folder = os.path.join(root, "folder%03d" % d)
    os.makedirs(folder)
    for f in range(1000):
        with open(os.path.join(folder, "file%06d.txt" % f), "w") as out:
            out.write(("folder %d file %d\n" % (d, f)) * (10 + f % 90))
PY
    # 4 KiB blocks: 200 000 small files need about 800 MiB and as many inodes.
    truncate -s 1200M "$image.tmp"
    mkfs.ext4 -q -F -b 4096 -N 210000 -d "$work/tree" "$image.tmp"
    rm -rf "$work/tree"
    mv "$image.tmp" "$image"
fi
cat "$image" > /dev/null

. bench/lib.sh
row_header
row "200k files: list vs fls -r -p" "$cli list $image" "fls -r -p $image"
row "200k files: recover vs tsk_recover -a" "$cli recover $image --out $work/out" \
    "tsk_recover -a $image $work/out"
rm -rf "$work/out"
