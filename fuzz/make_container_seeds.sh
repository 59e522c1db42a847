#!/usr/bin/env bash
# Seeds for the qcow2 and VHDX fuzzers, and VMDK descriptor and stream-optimized seeds:
# small images made by qemu-img, and a compact VHDX built here (qemu-img's smallest VHDX is
# 4 MiB, past the fuzzers' input limit). Needs qemu-utils and python3.
# Usage: fuzz/make_container_seeds.sh (rewrites fuzz/corpus/qcow2 and fuzz/corpus/vhdx)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for kind in qcow2 vhdx; do rm -rf "$here/corpus/$kind"; mkdir -p "$here/corpus/$kind"; done
q=$here/corpus/qcow2
python3 -c "import sys; sys.stdout.buffer.write(bytes(range(256)) * 128 + bytes(32768))" > "$work/small.raw"
qemu-img create -q -f qcow2 -o cluster_size=512 "$q/a.qcow2" 1M
qemu-io -f qcow2 -c "write -q -P 0x5a 0 4k" -c "write -q -z 8k 1k" "$q/a.qcow2"
qemu-img convert -f raw -O qcow2 -o compat=0.10,cluster_size=4k "$work/small.raw" "$q/v2.qcow2"
qemu-img convert -c -f raw -O qcow2 -o cluster_size=4k "$work/small.raw" "$q/zlib.qcow2"
qemu-img convert -c -f raw -O qcow2 -o cluster_size=4k,compression_type=zstd "$work/small.raw" "$q/zstd.qcow2"
qemu-img create -q -f qcow2 -o cluster_size=16k,extended_l2=on "$q/subclusters.qcow2" 1M
qemu-io -f qcow2 -c "write -q -P 0x33 2k 1k" "$q/subclusters.qcow2"
(cd "$q" && qemu-img create -q -f qcow2 -o cluster_size=4k -b a.qcow2 -F qcow2 child.qcow2)

# A compact VHDX: metadata at 8 KiB and the BAT at 16 KiB inside the file identifier area,
# headers and one region table where the format puts them; 1 MiB blocks over a 3 MiB disk,
# block 0 stored at offset 0 (so it reads the file's own first megabyte, cut short), block 1
# partially present in a differencing variant.
python3 - "$here/corpus/vhdx" <<'PY'
import struct, sys, uuid
def crc32c(data):
    crc = 0xFFFFFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ (0x82F63B78 if crc & 1 else 0)
    return crc ^ 0xFFFFFFFF
def g(text): return uuid.UUID(text).bytes_le
def build(parent):
    f = bytearray(256 * 1024)
    f[0:8] = b"vhdxfile"
    for at, seq in ((64 * 1024, 1), (128 * 1024, 2)):
        h = bytearray(4096)
        h[0:4] = b"head"
        struct.pack_into("<Q", h, 8, seq)
        struct.pack_into("<HHIQ", h, 64, 0, 1, 1 << 20, 1 << 20)
        struct.pack_into("<I", h, 4, crc32c(h))
        f[at:at + 4096] = h
    r = bytearray(64 * 1024)
    r[0:4] = b"regi"
    struct.pack_into("<I", r, 8, 2)
    r[16:32] = g("2DC27766-F623-4200-9D64-115E9BFD4A08"); struct.pack_into("<QII", r, 32, 16384, 4096, 1)
    r[48:64] = g("8B7CA206-4790-4B9A-B8FE-575F050F886E"); struct.pack_into("<QII", r, 64, 8192, 8192, 1)
    struct.pack_into("<I", r, 4, crc32c(r))
    f[192 * 1024:256 * 1024] = r
    m = bytearray(8192)
    m[0:8] = b"metadata"
    items = [("CAA16737-FA36-4D43-B3B6-33F0AA44E76B", struct.pack("<II", 1 << 20, 2 if parent else 0)),
             ("2FA54224-CD1B-4876-B211-5DBED83BF4B8", struct.pack("<Q", 3 << 20)),
             ("8141BF1D-A96F-4709-BA47-F233A8FAAB5F", struct.pack("<I", 512)),
             ("CDA348C7-445D-4471-9CC9-E9885251C556", struct.pack("<I", 4096))]
    if parent:
        k, v = "relative_path".encode("utf-16-le"), ".\\p.vhdx".encode("utf-16-le")
        loc = g("B04AEFB7-D19E-4A81-B789-25B8E9445913") + struct.pack("<HHIIHH", 0, 1, 32, 32 + len(k), len(k), len(v)) + k + v
        items.append(("A8D35F2D-B30B-454D-ABF7-D3D84834AB0C", loc))
    struct.pack_into("<H", m, 10, len(items))
    data_at = 1024
    for i, (guid, value) in enumerate(items):
        m[32 + 32 * i:48 + 32 * i] = g(guid)
        struct.pack_into("<III", m, 48 + 32 * i, data_at, len(value), 4)
        m[data_at:data_at + len(value)] = value
        data_at += 256
    f[8192:16384] = m
    bat = struct.pack("<QQQ", 6, (1 << 20) | (7 if parent else 2), 0)
    f[16384:16384 + len(bat)] = bat
    if parent:
        struct.pack_into("<Q", f, 16384 + 8 * 4096, 6)
    return f
open(sys.argv[1] + "/compact.vhdx", "wb").write(build(False))
open(sys.argv[1] + "/differencing.vhdx", "wb").write(build(True))
PY

# VMDK: descriptor files and a small stream-optimized image.
v=$here/corpus/vmdk
printf '# Disk DescriptorFile\nversion=1\nCID=fffffffe\nparentCID=ffffffff\ncreateType="monolithicFlat"\nRW 2048 FLAT "a-flat.vmdk" 0\nRW 64 ZERO\n' > "$v/descriptor.vmdk"
printf '# Disk DescriptorFile\nversion=1\nCID=1\nparentCID=2\nparentFileNameHint="p.vmdk"\ncreateType="twoGbMaxExtentSparse"\nRW 4096 SPARSE "a-s001.vmdk"\n' > "$v/split.vmdk"
qemu-img convert -f raw -O vmdk -o subformat=streamOptimized "$work/small.raw" "$v/stream.vmdk"
ls -l "$here"/corpus/qcow2 "$here"/corpus/vhdx "$v"
