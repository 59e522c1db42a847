#!/usr/bin/env python3
"""prendle-cli list and recover on ext2, ext3 and ext4 volumes made by mkfs.ext* -d and
debugfs, against what The Sleuth Kit (fls -r -p, fls -r -m, icat) and debugfs read from
the same volumes when the fixtures were made (tests/fixtures/make_ext.sh).
Usage: ext.py PRENDLE_CLI FIXTURES_DIR WORK_DIR"""
import calendar, hashlib, json, lzma, os, shutil, subprocess, sys, time

cli, fixtures, work = sys.argv[1], os.path.join(sys.argv[2], "ext"), sys.argv[3]
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

def seconds(iso):
    return calendar.timegm(time.strptime(iso[:19], "%Y-%m-%dT%H:%M:%S")) if iso else 0

for name in ("ext4", "ext4-1k", "ext4-inline", "ext3", "ext2"):
    image = os.path.join(work, name + ".img")
    with lzma.open(os.path.join(fixtures, name + ".img.xz")) as src, open(image, "wb") as dst:
        shutil.copyfileobj(src, dst)
    reference = [e for e in json.load(open(os.path.join(fixtures, name + ".json"), encoding="utf-8"))
                 if not e["path"].startswith("$OrphanFiles")]
    listed = [json.loads(line) for line in subprocess.run(
        [cli, "list", image], check=True, capture_output=True, text=True).stdout.splitlines()]
    # The tree shows the root folder as ROOT; fls shows its children at the top.
    ours = {}
    for e in listed:
        if e["path"].startswith("ROOT/"):
            ours.setdefault((e["path"][5:], e["deleted"]), e)

    # Every path fls lists, live or deleted, with its kind; live ones with size and times.
    want = {(e["path"], e["deleted"]) for e in reference}
    got_live = {k for k in ours if not k[1]}
    check(name + " live entries", got_live == {k for k in want if not k[1]},
          f"missing {sorted({k for k in want if not k[1]} - got_live)[:5]} "
          f"extra {sorted(got_live - {k for k in want if not k[1]})[:5]}")
    for e in reference:
        label = f"{name}:{e['path']}"
        got = ours.get((e["path"], e["deleted"]))
        check("present " + label, got is not None, "deleted" if e["deleted"] else "live")
        if got is None:
            continue
        check("kind " + label, (got["kind"] == "dir") == (e["type"] == "d"))
        if e["deleted"]:
            continue
        if "bytes" in e:
            check("size " + label, got["size"] == e["bytes"], f"{got['size']} != {e['bytes']}")
        check("modified " + label, seconds(got["modified"]) == e["mtime"])
        check("accessed " + label, seconds(got["accessed"]) == e["accessed"] if "accessed" in e
              else seconds(got["accessed"]) == e["atime"])
        created = e["crtime"] if e["crtime"] else e["ctime"]
        check("created " + label, seconds(got["created"]) == created)

    # Every live file recovers byte for byte, with its modification time.
    out = os.path.join(work, name + "-out")
    os.makedirs(out)
    # Removed files whose blocks were handed on may fail to save; live ones must not.
    saved = subprocess.run([cli, "recover", image, "--out", out], capture_output=True, text=True)
    for line in saved.stderr.splitlines():
        path = line.split(": ")[1] if ": " in line else line
        if "could not be saved" in line:
            continue
        rel = os.path.relpath(path, os.path.join(out, "ROOT")) if path.startswith(out) else path
        check(f"saved {name}:{rel}", (rel, True) in want and (rel, False) not in want, line)
    for e in reference:
        if "sha256" not in e or e["deleted"]:
            continue
        path = os.path.join(out, "ROOT", e["path"])
        data = open(path, "rb").read() if os.path.exists(path) else b""
        check(f"content {name}:{e['path']}",
              os.path.exists(path) and hashlib.sha256(data).hexdigest() == e["sha256"])
        if os.path.exists(path):
            check(f"time {name}:{e['path']}", int(os.stat(path).st_mtime) == e["mtime"])
    os.remove(image)
    shutil.rmtree(out)

print(f"{passed} passed, {failed} failed")
sys.exit(1 if failed else 0)
