#!/usr/bin/env bash
# Carving 1 GiB of random data with files planted at sector starts (JPEG, PNG, GIF, PDF and
# ZIP from the carve fixture, 400 of each) with the shipped signatures, against foremost
# and scalpel with the same signatures written as their rules, in the same run. Both peers
# are timed searching every byte (their default) and only at 512-byte starts (foremost -q,
# scalpel -q 512), which is what Prendle does. Goal: at most 1/3 of foremost's time.
# Usage: bench/carve.sh [RUNS]   (needs a release build, foremost, scalpel, xz, python3)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-2}
cli=build/release/bin/prendle-cli
cmake --preset release >/dev/null && cmake --build --preset release --target prendle-cli >/dev/null
work=build/bench/carve
mkdir -p "$work"

if [ ! -f "$work/disk.raw" ]; then
    echo "making 1 GiB of random data with 2000 planted files..."
    xz -dc tests/fixtures/raw/carve.img.xz > "$work/fixture.img"
    head -c $((1 << 30)) /dev/urandom > "$work/disk.raw"
    python3 - "$work/fixture.img" tests/fixtures/raw/reference.json "$work/disk.raw" <<'EOF'
import json, random, sys
fixture, reference, disk = sys.argv[1:4]
volume = open(fixture, "rb").read()[2048 * 512:]
files = [volume[f["offset"]:f["offset"] + f["length"]] for f in json.load(open(reference))["files"]]
rng = random.Random(22)
slots = rng.sample(range((1 << 30) // 65536), 400 * len(files))
with open(disk, "r+b") as out:
    for index, slot in enumerate(slots):
        out.seek(slot * 65536)
        out.write(files[index % len(files)])
EOF
    rm "$work/fixture.img"
fi

# The peers' rules: the shipped signatures (jpg, png, gif, bmp, tif, pdf, docx, doc, zip,
# rar, 7z, gz, mp3, wav, avi, mp4, mov, db) with the same approximate sizes as their limits.
cat > "$work/rules.conf" <<'EOF'
jpg  y 20971520   \xff\xd8\xff                          \xff\xd9
png  y 20971520   \x89\x50\x4e\x47\x0d\x0a\x1a\x0a      \x49\x45\x4e\x44\xae\x42\x60\x82
gif  y 10485760   \x47\x49\x46\x38?\x61                 \x00\x3b
bmp  y 52428800   BM????\x00\x00\x00\x00
tif  y 10485760   \x49\x49\x2a\x00
tif  y 10485760   \x4d\x4d\x00\x2a
pdf  y 104857600  %PDF-                                 %%EOF\x0a
doc  y 10485760   \xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1
zip  y 104857600  PK\x03\x04                            PK\x05\x06
rar  y 104857600  Rar!\x1a\x07
7z   y 104857600  7z\xbc\xaf\x27\x1c
gz   y 20971520   \x1f\x8b\x08
mp3  y 10485760   ID3
wav  y 1073741824 RIFF????WA
avi  y 2147483647 RIFF????AV
mp4  y 104857600  ????ftyp
mov  y 104857600  ????moov
db   y 104857600  SQLite\x20for
EOF
cat "$work/disk.raw" > /dev/null

source bench/lib.sh  # the scripts run from the project root

prendle=$(best_of "$cli carve $work/disk.raw --out $work/out/p")
foremost_full=$(best_of "foremost -Q -c $work/rules.conf -i $work/disk.raw -o $work/out/f")
foremost_sector=$(best_of "foremost -q -Q -c $work/rules.conf -i $work/disk.raw -o $work/out/f")
scalpel_full=$(best_of "scalpel -c $work/rules.conf -o $work/out/s $work/disk.raw")
scalpel_sector=$(best_of "scalpel -q 512 -c $work/rules.conf -o $work/out/s $work/disk.raw")

printf '%-28s %10s %18s\n' tool seconds "prendle / tool"
printf '%-28s %9ss %18s\n' "prendle-cli carve" "$prendle" 1.00
printf '%-28s %9ss %18s\n' "foremost (every byte)" "$foremost_full" "$(ratio "$prendle" "$foremost_full")"
printf '%-28s %9ss %18s\n' "foremost -q (sector starts)" "$foremost_sector" "$(ratio "$prendle" "$foremost_sector")"
printf '%-28s %9ss %18s\n' "scalpel (every byte)" "$scalpel_full" "$(ratio "$prendle" "$scalpel_full")"
printf '%-28s %9ss %18s\n' "scalpel -q 512" "$scalpel_sector" "$(ratio "$prendle" "$scalpel_sector")"
rm -rf "$work/out"; mkdir -p "$work/out"
"$cli" carve "$work/disk.raw" --out "$work/out/p"
