#!/usr/bin/env python3
"""prendle-cli list and recover on FAT12, FAT16 and FAT32 volumes made by mkfs.fat and
mtools, against what The Sleuth Kit (fls, icat) read from them when the fixtures were made.
Usage: fat_reference.py PRENDLE_CLI FIXTURES_DIR WORK_DIR"""
import datetime, json, lzma, os, shutil, subprocess, sys

cli, fixtures, work = sys.argv[1], os.path.join(sys.argv[2], "fat"), sys.argv[3]
shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)

passed = failed = 0
def check(label, ok, detail=""):
    global passed, failed
    if ok:
        passed += 1
    else:
        failed += 1
        print(f"FAIL {label} {detail}")

def fnv1a64(data):
    h = 0xcbf29ce484222325
    for b in data:
        h = ((h ^ b) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
    return "%016x" % h

def iso(seconds):
    return datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")

for name in ("fat12", "fat16", "fat32"):
    image = os.path.join(work, name + ".img")
    with lzma.open(os.path.join(fixtures, name + ".img.xz")) as src, open(image, "wb") as dst:
        shutil.copyfileobj(src, dst)
    reference = json.load(open(os.path.join(fixtures, name + ".json"), encoding="utf-8"))
    for e in reference:
        # fls shows short-name bytes above 0x7F as '^'; 0x05 stands for sigma (0xE5).
        e["path"] = e["path"].lstrip("/").replace("^IGMA.TXT", "σIGMA.TXT")
    listed = [json.loads(line) for line in subprocess.run(
        [cli, "list", image], check=True, capture_output=True, text=True).stdout.splitlines()]
    ours = {e["path"]: e for e in listed}
    check(name + " entries", set(ours) == {e["path"] for e in reference},
          f"missing {sorted({e['path'] for e in reference} - set(ours))[:5]} "
          f"extra {sorted(set(ours) - {e['path'] for e in reference})[:5]}")
    for e in reference:
        got = ours.get(e["path"], {})
        label = f"{name} {e['path']}"
        check("kind " + label, got.get("kind") == ("dir" if e["folder"] else "file"), str(got))
        check("deleted " + label, got.get("deleted") == e["deleted"], str(got))
        check("modified " + label, got.get("modified") == iso(e["modified"]), str(got))
        if not e["folder"]:
            check("size " + label, got.get("size") == e["size"], str(got))

    out = os.path.join(work, name + "-out")
    os.makedirs(out)
    subprocess.run([cli, "recover", image, "--out", out], capture_output=True)
    for e in reference:
        if e["folder"] or e["deleted"]:
            continue
        path = os.path.join(out, e["path"])
        data = open(path, "rb").read() if os.path.exists(path) else b""
        check(f"content {name} {e['path']}", os.path.exists(path) and fnv1a64(data) == e["fnv"])
        if os.path.exists(path):
            stamp = int(os.stat(path).st_mtime)
            check(f"time {name} {e['path']}", stamp == e["modified"], f"{stamp} vs {e['modified']}")

    part = os.path.join(work, name + "-part")
    os.makedirs(part)
    subprocess.run([cli, "recover", image, "--out", part, "--path", "/Long Folder Name"], check=True,
                   capture_output=True)
    check(name + " recover --path", os.path.exists(os.path.join(part, "Nested/deep.txt")))

print(f"{passed} passed, {failed} failed")
sys.exit(1 if failed else 0)
