#!/usr/bin/env python3
"""prendle-cli list and recover on an NTFS volume made by mkntfs and ntfs-3g, against what
The Sleuth Kit (fls, icat) read from the same volume when the fixture was made.
Usage: ntfs_reference.py PRENDLE_CLI FIXTURES_DIR WORK_DIR"""
import datetime, hashlib, json, lzma, os, shutil, subprocess, sys

cli, fixtures, work = sys.argv[1], os.path.join(sys.argv[2], "ntfs"), sys.argv[3]
shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)
image = os.path.join(work, "ntfs.img")
with lzma.open(os.path.join(fixtures, "ntfs.img.xz")) as src, open(image, "wb") as dst:
    shutil.copyfileobj(src, dst)
reference = json.load(open(os.path.join(fixtures, "reference.json"), encoding="utf-8"))

passed = failed = 0
def check(label, ok, detail=""):
    global passed, failed
    if ok:
        passed += 1
    else:
        failed += 1
        print(f"FAIL {label} {detail}")

def user_visible(path):
    return not path.startswith("$") and ":" not in path

listed = [json.loads(line) for line in subprocess.run(
    [cli, "list", image], check=True, capture_output=True, text=True).stdout.splitlines()]
ours = {e["path"]: e for e in listed}

# Every live file and folder, with its kind, and each file's size.
want_live = {(e["path"], e["dir"]) for e in reference if not e["deleted"] and user_visible(e["path"])}
got_live = {(e["path"], e["kind"] == "dir") for e in listed
            if not e["deleted"] and user_visible(e["path"]) and not e["path"].startswith("ORPHAN_ENTRY")}
check("live entries", got_live == want_live,
      f"missing {sorted(want_live - got_live)[:5]} extra {sorted(got_live - want_live)[:5]}")
for e in reference:
    if "size" in e:
        check("size " + e["path"], ours.get(e["path"], {}).get("size") == e["size"],
              f"{ours.get(e['path'], {}).get('size')} != {e['size']}")

# Deleted entries that fls places by path appear at the same path, marked deleted.
for e in reference:
    if e["deleted"] and not e["path"].startswith("$"):
        got = ours.get(e["path"])
        check("deleted " + e["path"], got is not None and got["deleted"], str(got))

# Every live file recovers byte for byte, with its modification time.
out = os.path.join(work, "out")
os.makedirs(out)
subprocess.run([cli, "recover", image, "--out", out], check=True)
for e in reference:
    if "sha256" not in e:
        continue
    path = os.path.join(out, e["path"])
    data = open(path, "rb").read() if os.path.exists(path) else b""
    check("content " + e["path"], os.path.exists(path) and hashlib.sha256(data).hexdigest() == e["sha256"])
    modified = ours[e["path"]]["modified"]
    stamp = datetime.datetime.fromtimestamp(os.stat(path).st_mtime, datetime.timezone.utc)
    stamp = stamp.strftime("%Y-%m-%dT%H:%M:%S")
    check("time " + e["path"], modified.startswith(stamp), f"{modified} vs {stamp}")

# A sub-folder alone.
part = os.path.join(work, "part")
os.makedirs(part)
subprocess.run([cli, "recover", image, "--out", part, "--path", "/deep/a/b"], check=True)
check("recover --path", os.path.exists(os.path.join(part, "c/d/e/f/g/bottom.txt")))

print(f"{passed} passed, {failed} failed")
sys.exit(1 if failed else 0)
