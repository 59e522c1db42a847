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
