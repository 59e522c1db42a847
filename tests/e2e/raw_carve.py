#!/usr/bin/env python3
"""prendle-cli carve on the re-formatted FAT32 fixture: every planted file comes back
byte-exact, at the offset found when the fixture was made, with the shipped signatures and
with a signature file written from a user's table; a broken signature file is refused."""
import hashlib
import json
import lzma
import os
import shutil
import subprocess
import sys

cli, make_signatures, fixtures, work = sys.argv[1:5]
shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)
image = os.path.join(work, "carve.img")
with lzma.open(os.path.join(fixtures, "raw", "carve.img.xz")) as packed, open(image, "wb") as out:
    shutil.copyfileobj(packed, out)
reference = json.load(open(os.path.join(fixtures, "raw", "reference.json")))
failures = []


def carve(name, extra, volume_start, fresh=True):
    out = os.path.join(work, name)
    run = subprocess.run([cli, "carve", image, "--out", out, "--json"] + extra,
                         capture_output=True, text=True)
    if run.returncode != 0:
        failures.append(f"{name}: exit {run.returncode}: {run.stderr.strip()}")
        return
    hits = [json.loads(line) for line in run.stdout.splitlines()]
    by_offset = {hit["offset"]: hit for hit in hits}
    for planted in reference["files"]:
        offset = planted["offset"] + volume_start
        hit = by_offset.get(offset)
        if hit is None:
            failures.append(f"{name}: no hit at {offset} for {planted['name']}")
            continue
        data = open(os.path.join(out, hit["file"]), "rb").read()
        if hashlib.sha256(data[:512]).hexdigest() != planted["sha256First512"]:
            failures.append(f"{name}: {planted['name']} starts with other bytes")
        if hit["length"] != planted["length"] or len(data) != planted["length"]:
            failures.append(f"{name}: {planted['name']} is {hit['length']} bytes, "
                            f"planted {planted['length']}")
        elif hashlib.sha256(data).hexdigest() != planted["sha256"]:
            failures.append(f"{name}: {planted['name']} differs from the planted file")
    # Nothing outside the output folder, and one file per hit.
    if fresh and len(os.listdir(out)) != len(hits):
        failures.append(f"{name}: {len(hits)} hits but {len(os.listdir(out))} files")


volume_bytes = reference["volumeStartSector"] * 512
carve("default-volume", ["--volume", "0"], 0)
carve("default-disk", [], volume_bytes)

user_file = os.path.join(work, "mine.txt")
subprocess.run([make_signatures, user_file,
                os.path.join(fixtures, "raw", "user_signatures.tsv")], check=True)
carve("user-volume", ["--volume", "0", "--signatures", user_file], 0)

# A second carve into the same folder keeps the first files and adds numbered ones.
first = sorted(os.listdir(os.path.join(work, "user-volume")))
carve("user-volume", ["--volume", "0", "--signatures", user_file], 0, fresh=False)
second = os.listdir(os.path.join(work, "user-volume"))
if len(second) != 2 * len(first) or not set(first) <= set(second):
    failures.append("a second carve into one folder replaced files")

broken = os.path.join(work, "broken.txt")
open(broken, "wb").write(b"\0" * 100)
run = subprocess.run([cli, "carve", image, "--signatures", broken, "--out",
                      os.path.join(work, "broken")], capture_output=True, text=True)
if run.returncode == 0 or "Please select a valid file.." not in run.stderr:
    failures.append(f"a 100-byte signature file was not refused: {run.stderr.strip()}")

for failure in failures:
    print("FAIL", failure)
sys.exit(1 if failures else 0)
