#!/usr/bin/env python3
"""prendle-cli list and recover on HFS+ volumes against The Sleuth Kit's reading (fls, icat)
made when the fixtures were built, and against the builder's manifest where TSK cannot read
the volume (both headers zeroed: deep mode only).
Usage: hfsplus_reference.py PRENDLE_CLI FIXTURES_DIR WORK_DIR"""
import datetime, hashlib, json, lzma, os, shutil, subprocess, sys

cli, fixtures, work = sys.argv[1], os.path.join(sys.argv[2], "hfsplus"), sys.argv[3]
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

def unpack(name):
    image = os.path.join(work, name.replace(".xz", ""))
    with lzma.open(os.path.join(fixtures, name)) as src, open(image, "wb") as dst:
        shutil.copyfileobj(src, dst)
    return image

def listing(image, *extra):
    done = subprocess.run([cli, "list", image, *extra], check=True, capture_output=True, text=True)
    return {e["path"]: e for e in map(json.loads, done.stdout.splitlines())}

def iso(seconds):
    return datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")

def recover(image, tag, *extra):
    out = os.path.join(work, tag)
    os.makedirs(out)
    subprocess.run([cli, "recover", image, "--out", out, *extra], check=True)
    return out

for volume in ["macos-hfsplus", "built-4k", "built-512", "built-8k"]:
    reference = json.load(open(os.path.join(fixtures, volume + ".json"), encoding="utf-8"))
    image = unpack(volume + ".raw.xz")
    for mode in ["standard", "deep"]:
        tag = f"{volume}-{mode}"
        ours = listing(image, "--mode", mode)
        want = {e["path"].lstrip("/"): e for e in reference}
        # A resource fork is saved beside its file as "._name" (AppleDouble).
        sidecars = {os.path.join(os.path.dirname(p), "._" + os.path.basename(p)): e
                    for p, e in want.items() if "rsrc_sha256" in e}
        live = {p for p, e in ours.items() if not e["deleted"] and not p.startswith("ORPHAN_ENTRY")
                and p not in sidecars}
        check(f"{tag} paths", live == set(want),
              f"missing {sorted(set(want) - live)[:5]} extra {sorted(live - set(want))[:5]}")
        for path, e in want.items():
            got = ours.get(path, {})
            check(f"{tag} kind {path}", got.get("kind") == ("dir" if e["kind"] == "dir" else "file"))
            check(f"{tag} times {path}",
                  (got.get("created"), got.get("modified"), got.get("accessed")) ==
                  tuple(iso(e[k]) if e[k] else "" for k in ("created", "modified", "accessed")),
                  f"{got} vs {e}")
            if e["kind"] != "dir":
                check(f"{tag} size {path}", got.get("size") == e["size"], f"{got.get('size')} vs {e['size']}")
        out = recover(image, tag, "--mode", mode)
        for path, e in want.items():
            if e["kind"] == "dir":
                continue
            target = os.path.join(out, path)
            data = open(target, "rb").read() if os.path.exists(target) else None
            expected = e.get("sha256", hashlib.sha256(b"").hexdigest())
            check(f"{tag} content {path}", data is not None and hashlib.sha256(data).hexdigest() == expected)
            sidecar = os.path.join(out, os.path.dirname(path), "._" + os.path.basename(path))
            if "rsrc_sha256" in e and os.path.exists(sidecar):
                fork = open(sidecar, "rb").read()[82:]
                check(f"{tag} resource fork {path}", hashlib.sha256(fork).hexdigest() == e["rsrc_sha256"])
            if data is not None and e["modified"]:
                check(f"{tag} mtime {path}", int(os.stat(target).st_mtime) == e["modified"],
                      f"{os.stat(target).st_mtime} vs {e['modified']}")

# Both headers zeroed: only the deep mode finds the files, deleted ones included.
manifest = json.load(open(os.path.join(fixtures, "built-nohdr.manifest.json"), encoding="utf-8"))
image = unpack("built-nohdr.raw.xz")
standard = subprocess.run([cli, "list", image, "--fs", "hfsplus"], capture_output=True, text=True)
check("no header: standard mode refuses", standard.returncode != 0 and "signature" in standard.stderr,
      standard.stderr)
ours = listing(image, "--fs", "hfsplus", "--mode", "deep")
out = recover(image, "nohdr", "--fs", "hfsplus", "--mode", "deep")
for f in manifest["files"]:
    path = f["path"].lstrip("/")
    check(f"no header: listed {path}", path in ours and ours[path]["size"] == f["size"])
    target = os.path.join(out, path)
    data = open(target, "rb").read() if os.path.exists(target) else None
    check(f"no header: content {path}", data is not None and hashlib.sha256(data).hexdigest() == f["sha256"])

print(f"{passed} passed, {failed} failed")
sys.exit(1 if failed else 0)
