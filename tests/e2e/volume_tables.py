#!/usr/bin/env python3
"""Volumes found by prendle-cli on disks made by sfdisk, sgdisk and the mkfs tools must
sit where sfdisk reads the partitions, with the file-system names the search gives.
Usage: volume_tables.py PRENDLE_CLI FIXTURES_DIR WORK_DIR"""
import json, lzma, os, subprocess, sys

cli, fixtures, work = sys.argv[1], os.path.join(sys.argv[2], "volumes"), sys.argv[3]
os.makedirs(work, exist_ok=True)

# What each volume holds, by its start sector; the file system is not in the table.
MBR = {2048: "NTFS", 276480: "FAT64", 38912: "FAT32", 110592: "FAT16", 153600: "FAT12"}
GPT_NAMES = {"C12A7328-F81F-11D2-BA4B-00A0C93EC93B": "FAT32",
             "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7": "NTFS",
             "48465300-0000-11AA-AA11-00306543ECAC": "HFS+",
             "0FC63DAF-8483-4772-8E79-3D69D8477DE4": "extX"}
MS_RESERVED = "E3C9E316-0B5C-4DB8-817D-F92DF00215AE"

def partitions(name):
    with open(os.path.join(fixtures, name + ".sfdisk.json")) as f:
        return json.load(f)["partitiontable"]["partitions"]

def expected_standard(name):
    rows = []
    for p in partitions(name):
        kind = p["type"]
        if kind in ("5", "f"):
            continue
        if name.startswith("mbr-ext4"):
            rows.append((p["start"], "extX"))
        elif name.startswith("mbr"):
            rows.append((p["start"], MBR[p["start"]]))
        elif kind != MS_RESERVED:
            rows.append((p["start"], GPT_NAMES.get(kind, p.get("name", ""))))
    return rows

def run(image, *args):
    out = subprocess.run([cli, "volumes", image, "--json", *args], check=True,
                         capture_output=True, text=True).stdout
    return json.loads(out)

passed = failed = 0
def check(label, got, want):
    global passed, failed
    if got == want:
        passed += 1
    else:
        failed += 1
        print(f"FAIL {label}:\n  got  {got}\n  want {want}")

for name in ("mbr-extended", "mbr-firstempty", "mbr-ext4", "gpt"):
    image = os.path.join(work, name + ".raw")
    with lzma.open(os.path.join(fixtures, name + ".raw.xz")) as src, open(image, "wb") as dst:
        dst.write(src.read())
    rows = run(image)
    want = expected_standard(name)
    # MBR order: primaries in table order, then the logical volumes of the chain.
    check(name + " standard", sorted((r["start_sector"], r["fs"]) for r in rows), sorted(want))
    check(name + " numbers", [r["index"] for r in rows], list(range(len(rows))))
    # The sector search finds every volume with a boot sector or HFS+ header.
    found = run(image, "--advanced")
    check(name + " advanced", sorted((r["start_sector"], r["fs"]) for r in found),
          sorted(w for w in want if w[1] not in ("extX", "")))
    check(name + " newest first", [r["index"] for r in found], list(range(len(found)))[::-1])
    os.remove(image)

# Size texts as the list shows them.
image = os.path.join(work, "gpt.raw")
with lzma.open(os.path.join(fixtures, "gpt.raw.xz")) as src, open(image, "wb") as dst:
    dst.write(src.read())
texts = {r["start_sector"]: r["size_text"] for r in run(image)}
check("gpt size texts", [texts[2048], texts[104448], texts[153600], texts[169984]],
      ["34  MB", "23   MB", "7", "24   MB"])
# Without the jump the backup boot sectors are listed as volumes of their own.
every = {(r["start_sector"], r["fs"]) for r in run(image, "--advanced", "--no-skip")}
check("gpt backups", {(2054, "FAT32"), (153599, "NTFS")} <= every, True)
# A range that starts past the disk lists nothing.
check("gpt range past the end", run(image, "--advanced", "--start", "999999999"), [])
# The protective MBR entry when the table is read as MBR.
check("gpt as mbr", [(r["fs"], r["start_sector"]) for r in run(image, "--mbr")], [("Unknown", 1)])
os.remove(image)

print(f"{passed} passed, {failed} failed")
sys.exit(1 if failed else 0)
