#!/usr/bin/env bash
# NTFS parse and recovery against The Sleuth Kit, in the same run:
#   a volume of 200 000 files in 200 folders: prendle-cli list vs fls -r -p, and
#   prendle-cli recover vs tsk_recover -a;
#   a volume with one folder of 100 000 files: prendle-cli list vs fls -r -p.
# Prints best-of-RUNS wall times, the ratio prendle / peer and peak memory (KiB).
# Usage: bench/ntfs.sh [RUNS]   (needs ntfs-3g with a FUSE mount, sleuthkit; run as root)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
cli=build/release/bin/prendle-cli
cmake --preset release >/dev/null && cmake --build --preset release >/dev/null
work=build/bench/ntfs
mkdir -p "$work"

# make_volume IMAGE SIZE FOLDERS FILES_PER_FOLDER
make_volume() {
    local image=$1 size=$2 folders=$3 per=$4
    [ -f "$image" ] && return
    echo "making $image: $folders folder(s) of $per files..."
    truncate -s "$size" "$image.tmp"
    mkntfs -q -F -Q "$image.tmp" >/dev/null 2>&1
    mkdir -p "$work/m"
    ntfs-3g "$image.tmp" "$work/m"
    python3 - "$work/m" "$folders" "$per" <<'PY'
import os, sys
root, folders, per = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
for d in range(folders):
    folder = os.path.join(root, "folder%03d" % d)
    os.mkdir(folder)
    for f in range(per):
        with open(os.path.join(folder, "file%06d.txt" % f), "w") as out:
            out.write(("folder %d file %d\n" % (d, f)) * 60)
PY
    umount "$work/m"
    mv "$image.tmp" "$image"
}
make_volume "$work/many.img" 3G 200 1000
make_volume "$work/wide.img" 2G 1 100000
cat "$work"/*.img > /dev/null

. bench/lib.sh
row_header
row "200k files: list vs fls -r -p" "$cli list $work/many.img" "fls -r -p $work/many.img"
row "200k files: recover vs tsk_recover -a" "$cli recover $work/many.img --out $work/out" \
    "tsk_recover -a $work/many.img $work/out"
row "200k files: browser Save vs tsk_recover -a" \
    "build/release/bin/prendle_bench_save $work/many.img $work/out" "tsk_recover -a $work/many.img $work/out"
row "100k in one folder: list vs fls -r -p" "$cli list $work/wide.img" "fls -r -p $work/wide.img"
rm -rf "$work/out"
