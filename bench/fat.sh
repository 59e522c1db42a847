#!/usr/bin/env bash
# FAT32 parse and recovery against The Sleuth Kit, in the same run: a volume of 100 000
# files in 100 folders made by mkfs.fat and mtools (no mount), prendle-cli list vs
# fls -r -p, and prendle-cli recover vs tsk_recover -a.
# Prints best-of-RUNS wall times, the ratio prendle / peer and peak memory (KiB).
# Usage: bench/fat.sh [RUNS]   (needs dosfstools, mtools, sleuthkit; no root)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
cli=build/release/bin/prendle-cli
cmake --preset release >/dev/null && cmake --build --preset release --target prendle-cli >/dev/null
work=build/bench/fat
mkdir -p "$work"
export MTOOLS_SKIP_CHECK=1

image=$work/many.img
if [ ! -f "$image" ]; then
    echo "making $image: 100 folders of 1000 files..."
    rm -rf "$work/tree"
    python3 - "$work/tree" <<'PY'
import os, sys
root = sys.argv[1]
for d in range(100):
    folder = os.path.join(root, "folder%03d" % d)
    os.makedirs(folder)
    for f in range(1000):
        with open(os.path.join(folder, "%06d note.txt" % f), "w") as out:
            out.write(("folder %d file %d\n" % (d, f)) * (10 + f % 90))
PY
    # 1 KiB clusters: 100 000 small files need about 160 MiB. Names start with six unique
    # digits, so that mtools finds each short name (123456~1.TXT) without a long search.
    mkfs.fat -F 32 -s 2 -C "$image.tmp" $((400 * 1024)) >/dev/null
    mcopy -s -i "$image.tmp" "$work"/tree/* ::/
    rm -rf "$work/tree"
    mv "$image.tmp" "$image"
fi
cat "$image" > /dev/null

. bench/lib.sh
row_header
row "100k files: list vs fls -r -p" "$cli list $image" "fls -r -p -f fat32 $image"
row "100k files: recover vs tsk_recover -a" "$cli recover $image --out $work/out" \
    "tsk_recover -a -f fat32 $image $work/out"
rm -rf "$work/out"
