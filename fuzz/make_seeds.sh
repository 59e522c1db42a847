#!/usr/bin/env bash
# Seeds for the container fuzzers: small images made by qemu-img, some cut short.
# Needs qemu-utils. Usage: fuzz/make_seeds.sh (rewrites fuzz/corpus/)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for kind in vdi vhd vmdk; do rm -rf "$here/corpus/$kind"; mkdir -p "$here/corpus/$kind"; done
qemu-img create -q -f vdi "$work/a.vdi" 3M
qemu-img create -q -f vdi -o static=on "$work/static.vdi" 1M
qemu-img create -q -f vpc "$work/a.vhd" 5M
qemu-img create -q -f vpc -o subformat=fixed "$work/fixed.vhd" 64K
qemu-img create -q -f vmdk "$work/a.vmdk" 2M
for f in a.vdi a.vhd a.vmdk; do
    qemu-io -f "${f##*.}" -c "write -q -P 0x5a 0 4k" "$work/$f" 2>/dev/null || \
    qemu-io -f vpc -c "write -q -P 0x5a 0 4k" "$work/$f"
done
# The header, the map and the first 4 KiB of data; the rest of the block is cut off.
head -c 5120 "$work/a.vdi" > "$here/corpus/vdi/a.vdi"
head -c 5120 "$work/static.vdi" > "$here/corpus/vdi/static.vdi"
head -c 4096 "$work/a.vdi" > "$here/corpus/vdi/cut.vdi"
head -c 8192 "$work/a.vhd" > "$here/corpus/vhd/cut.vhd"
cp "$work/fixed.vhd" "$here/corpus/vhd/"
head -c 70000 "$work/a.vmdk" > "$here/corpus/vmdk/cut.vmdk"
# Whole images only where they stay small.
for f in a.vhd a.vmdk; do
    [ "$(stat -c %s "$work/$f")" -le 300000 ] && cp "$work/$f" "$here/corpus/${f##*.}/"
done
find "$here/corpus" -size +1100k -delete
ls -l "$here"/corpus/*

# NTFS: a small volume cut after its MFT, single records and run lists from the NTFS
# fixture, and the LZNT1 clusters of a compressed file there. Needs ntfs-3g, sleuthkit.
for kind in ntfs_volume ntfs_record ntfs_runlist lznt1; do rm -rf "$here/corpus/$kind"; mkdir -p "$here/corpus/$kind"; done
truncate -s 1100K "$work/small.img"
mkntfs -q -F -Q -c 512 -s 512 "$work/small.img" >/dev/null 2>&1
head -c 98304 "$work/small.img" > "$here/corpus/ntfs_volume/small-cut.img"
xz -dc "$here/../tests/fixtures/ntfs/ntfs.img.xz" > "$work/ntfs.img"
python3 - "$work/ntfs.img" "$here/corpus" <<'PY'
import struct, sys
image, corpus = sys.argv[1], sys.argv[2]
with open(image, "rb") as f:
    boot = f.read(512)
    cluster = struct.unpack_from("<H", boot, 11)[0] * boot[13]
    mft = struct.unpack_from("<Q", boot, 48)[0] * cluster
    for number in (0, 5, 11, 64, 73):
        f.seek(mft + number * 1024)
        record = f.read(1024)
        open(f"{corpus}/ntfs_record/record-{number}", "wb").write(record)
        # The run list of the record's first non-resident attribute.
        at = struct.unpack_from("<H", record, 20)[0]
        while at + 16 <= 1024:
            kind, length = struct.unpack_from("<II", record, at)
            if kind == 0xFFFFFFFF or length < 16 or at + length > 1024:
                break
            if record[at + 8]:
                runs = struct.unpack_from("<H", record, at + 32)[0]
                open(f"{corpus}/ntfs_runlist/runs-{number}", "wb").write(record[at + runs:at + length])
                break
            at += length
PY
record=$(fls -r -p "$work/ntfs.img" | awk -F'[ \t:-]+' '/compressed\/numbers.txt$/{print $2}')
first=$(istat "$work/ntfs.img" "$record" | awk '/^Type: \$DATA/{getline; print $1; exit}')
dd if="$work/ntfs.img" of="$here/corpus/lznt1/numbers-unit" bs=4096 skip="$first" count=4 status=none
printf '\x05\xb0\x00abc\x02\x20' > "$here/corpus/lznt1/backref"
bash "$here/make_container_seeds.sh"
