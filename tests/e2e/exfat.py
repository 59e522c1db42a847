#!/usr/bin/env python3
"""prendle-cli list and recover on an exFAT volume made by mkfs.exfat and exfat-fuse,
against what The Sleuth Kit (fls -m, icat) read from the same volume when the fixture was
made (tests/fixtures/make_exfat.sh).
Usage: exfat.py PRENDLE_CLI FIXTURES_DIR WORK_DIR"""
import calendar, hashlib, json, lzma, os, shutil, subprocess, sys

cli, fixtures, work = sys.argv[1], os.path.join(sys.argv[2], "exfat"), sys.argv[3]
shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)
image = os.path.join(work, "exfat.img")
with lzma.open(os.path.join(fixtures, "exfat.img.xz")) as src, open(image, "wb") as dst:
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

def seconds(iso):
    return calendar.timegm(__import__("time").strptime(iso[:19], "%Y-%m-%dT%H:%M:%S")) if iso else 0

listed = [json.loads(line) for line in subprocess.run(
    [cli, "list", image], check=True, capture_output=True, text=True).stdout.splitlines()]
ours = {"/" + e["path"]: e for e in listed}

# The same entries as fls, live and deleted, with kind, deleted mark, size and times.
check("entries", set(ours) == {e["path"] for e in reference},
      f"missing {sorted({e['path'] for e in reference} - set(ours))[:5]} "
      f"extra {sorted(set(ours) - {e['path'] for e in reference})[:5]}")
for e in reference:
    got = ours.get(e["path"])
    if got is None:
        continue
    check("kind " + e["path"], (got["kind"] == "dir") == (e["kind"] == "dir"))
    check("deleted " + e["path"], got["deleted"] == e["deleted"])
    if e["kind"] == "file":
        check("size " + e["path"], got["size"] == e["size"], f"{got['size']} != {e['size']}")
    # fls drops the 10 ms fields, which add up to 1.99 s to the two-second stamps.
    for key in ("modified", "created"):
        check(f"{key} {e['path']}", 0 <= seconds(got[key]) - e[key] < 2, f"{got[key]} vs {e[key]}")
    check("accessed " + e["path"], seconds(got["accessed"]) == e["accessed"])

# Every live file recovers byte for byte as icat read it, with its modification time.
out = os.path.join(work, "out")
os.makedirs(out)
subprocess.run([cli, "recover", image, "--out", out], check=True, capture_output=True)
for e in reference:
    if "sha256" not in e:
        continue
    path = os.path.join(out, e["path"].lstrip("/"))
    data = open(path, "rb").read() if os.path.exists(path) else b""
    check("content " + e["path"], os.path.exists(path) and hashlib.sha256(data).hexdigest() == e["sha256"])
    if os.path.exists(path):
        check("time " + e["path"], int(os.stat(path).st_mtime) == seconds(ours[e["path"]]["modified"]))

# One folder alone, several clusters long and with a Unicode name.
part = os.path.join(work, "part")
os.makedirs(part)
folder = next(e["path"] for e in reference if e["path"].startswith("/Ünïcödé") and e["path"].count("/") == 1)
subprocess.run([cli, "recover", image, "--out", part, "--path", folder], check=True, capture_output=True)
check("recover --path", os.path.exists(os.path.join(part, "nested/deeper/leaf.txt")) and
      len(os.listdir(part)) == 151, str(sorted(os.listdir(part))[:3]))

print(f"{passed} passed, {failed} failed")
sys.exit(1 if failed else 0)
