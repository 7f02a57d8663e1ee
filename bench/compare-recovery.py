#!/usr/bin/env python3
"""Counts what a recovery tool brought back from a card against the files that were put on it.

    compare-recovery.py --image IMG --manifest M --tool NAME --outputs DIR [--vantrel-list list.tsv]
                        [--photorec-log photorec.log] --details FILE

The manifest (make-camera-card.sh, make-interleaved-stick.py) names each file written to the card, its
source, size and clusters. A file is a target when no live file holds it any more and its clusters on
the final card still hold its bytes; a file that is gone and whose clusters now hold other bytes is
overwritten (no tool can bring it back whole). Every output of the tool (every file under DIR but the
tools' own reports) is then, by its SHA-256:
  exact    the bytes of a target (each target counted once; a second copy is a duplicate)
  live     the bytes of a file still on the card
  flagged  none of these, and the tool said so (Vantrel: fragmented, or verdict suspect or broken;
           PhotoRec: a name starting with "b", its broken files)
  wrong    none of these, not flagged, and it starts as a file of the manifest does (its first 2 KiB)
  junk     none of these, not flagged, and it starts as no file of the manifest (thumbnails, pieces)
and each target no output matches is missing. Prints one tab-separated line of counts; appends what
each wrong, junk and missing file is to the details file.
"""
import argparse
import collections
import hashlib
import os
import re
import struct
import subprocess

PREFIX = 2048


def sha(data):
    return hashlib.sha256(data).hexdigest()


def fat_geometry(image):
    with open(image, "rb") as dev:
        boot = dev.read(512)
    bytes_per_sector, spc = struct.unpack_from("<HB", boot, 11)
    reserved, fats = struct.unpack_from("<HB", boot, 14)
    fat_sectors = struct.unpack_from("<I", boot, 36)[0]
    return (reserved + fats * fat_sectors) * bytes_per_sector, bytes_per_sector * spc


def clusters_of(runs):
    out = []
    for run in filter(None, runs.split(",")):
        a, _, b = run.partition("-")
        out.extend(range(int(a), int(b or a) + 1))
    return out


def live_names(image):
    env = dict(os.environ, MTOOLS_SKIP_CHECK="1")
    listing = subprocess.run(["mdir", "-/", "-b", "-i", image, "::"], capture_output=True, text=True, env=env).stdout
    return {line.strip().upper() for line in listing.splitlines() if line.strip() and not line.strip().endswith("/")}


class Card:
    def __init__(self, image, manifest):
        self.image = image
        data_offset, cluster_bytes = fat_geometry(image)
        live = live_names(image)
        self.files = []
        with open(image, "rb") as dev:
            for line in open(manifest):
                name, source, size, runs = line.rstrip("\n").split("\t")
                size = int(size)
                original = open(source, "rb").read()
                chain = clusters_of(runs)
                on_card = bytearray()
                for c in chain:
                    dev.seek(data_offset + (c - 2) * cluster_bytes)
                    on_card += dev.read(cluster_bytes)
                state = "live" if name.upper() in live else ("target" if bytes(on_card[:size]) == original else "overwritten")
                offset = data_offset + (chain[0] - 2) * cluster_bytes if chain else 0
                self.files.append(dict(name=name, source=source, size=size, data=original, sha=sha(original),
                                       prefix=sha(original[:PREFIX]), state=state, offset=offset,
                                       pieces=len(runs.split(","))))
        self.by_prefix = {f["prefix"]: f for f in self.files}
        # Where each 512-byte block of every file lies in it, to say where a wrong output's bytes came from.
        self.blocks = {}
        for f in self.files:
            data = f["data"]
            for at in range(0, len(data) - 511, 512):
                self.blocks.setdefault(hashlib.md5(data[at:at + 512]).digest(), (f, at))

    def short(self, f):
        return f"{os.path.basename(f['name'])} ({os.path.basename(f['source'])}, {f['size']} B, at {f['offset']})"

    def explain_wrong(self, out, f):
        data = f["data"]
        same = 0
        limit = min(len(out), len(data))
        while same < limit and out[same:same + 65536] == data[same:same + 65536]:
            same += 65536
        same = max(0, same - 65536)
        while same < limit and out[same] == data[same]:
            same += 1
        what = f"starts as {self.short(f)}"
        if f["state"] == "overwritten":
            what += " [partly overwritten on the card]"
        if same == limit:
            return what + (f"; a prefix of it, cut at {len(out)}" if len(out) < len(data) else
                           f"; all of it then {len(out) - len(data)} bytes more")
        block = same // 512 * 512
        source = self.blocks.get(hashlib.md5(out[block:block + 512]).digest())
        if out[block:block + 512] == bytes(512):
            then = "zeros"
        elif source:
            then = f"bytes of {os.path.basename(source[0]['name'])} at +{source[1]}" + (" (itself)" if source[0] is f else "")
        else:
            then = "bytes of no file of the card"
        return what + f"; differs from byte {same} on: {then}; length {len(out)} vs {len(data)}"

    def explain_junk(self, out):
        for f in self.files:
            at = f["data"].find(out, 0, (1 << 17) + len(out))
            if at > 0:
                kind = "its EXIF thumbnail" if len(out) < 200_000 else "a piece of it"
                return f"{kind}: the bytes of {self.short(f)} from +{at}"
        head = out[:512] if len(out) >= 512 else out
        for f in self.files:
            at = f["data"].find(head)
            if at > 0:
                return f"starts as {self.short(f)} does from +{at}, then other bytes"
        return "bytes of no file of the card"


def picture_size(path):
    try:
        result = subprocess.run(["identify", "-format", "%wx%h", path + "[0]"], capture_output=True, text=True, timeout=30)
        return result.stdout.strip() or "?"
    except Exception:
        return "?"


def vantrel_rows(list_path):
    rows = {}
    if list_path and os.path.exists(list_path):
        for line in open(list_path):
            p = line.rstrip("\n").split("\t")
            if len(p) >= 11:
                rows[p[10]] = dict(offset=int(p[1]), length=int(p[2]), kind=p[3], source=p[4], fragmented=p[5] == "1",
                                   integrity=p[6], reallocated=p[7] == "1", dims=p[8], name=p[9], file=p[10])
    return rows


def photorec_starts(log_path):
    starts = {}
    if log_path and os.path.exists(log_path):
        for line in open(log_path, errors="replace"):
            m = re.match(r"^(\S+)\t\s*(\d+)-(\d+)((?:\s+\d+-\d+)*)", line)
            if m:
                starts[os.path.basename(m.group(1))] = (int(m.group(2)) * 512, m.group(0).split("\t", 1)[1].strip())
    return starts


OWN_REPORTS = {"list.tsv", "report.xml", "photorec.log", "photorec.se2", "run.log"}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--image", required=True)
    ap.add_argument("--manifest", required=True)
    ap.add_argument("--tool", required=True)
    ap.add_argument("--outputs", required=True)
    ap.add_argument("--vantrel-list")
    ap.add_argument("--photorec-log")
    ap.add_argument("--details", required=True)
    ap.add_argument("--card", default="")
    args = ap.parse_args()

    card = Card(args.image, args.manifest)
    targets = collections.Counter(f["sha"] for f in card.files if f["state"] == "target")
    live = {f["sha"] for f in card.files if f["state"] == "live"}
    vrows = vantrel_rows(args.vantrel_list)
    prstarts = photorec_starts(args.photorec_log)
    counts = collections.Counter()
    lines = []
    matched = collections.Counter()
    outputs = []
    for root, _, names in os.walk(args.outputs):
        for n in sorted(names):
            if n in OWN_REPORTS:
                continue
            outputs.append(os.path.join(root, n))
    outputs.sort()
    # The copy of a target an exact output is: the one at the output's offset where the tool tells it
    # (several copies of one photo may lie on a card), else any copy left.
    copies = collections.defaultdict(list)
    for f in card.files:
        if f["state"] == "target":
            copies[f["sha"]].append(f)
    taken = set()
    for path in outputs:
        rel = os.path.relpath(path, args.outputs)
        offset = vrows[rel]["offset"] if rel in vrows else prstarts.get(os.path.basename(path), (None,))[0]
        if offset is None:
            continue
        with open(path, "rb") as data:
            digest = sha(data.read())
        for f in copies.get(digest, []):
            if f["offset"] == offset and id(f) not in taken:
                taken.add(id(f))
                break
    for path in outputs:
        rel = os.path.relpath(path, args.outputs)
        out = open(path, "rb").read()
        digest = sha(out)
        row = vrows.get(rel)
        flagged = (row is not None and (row["fragmented"] or row["integrity"] in ("suspect", "failed"))) or \
                  (args.tool == "photorec" and os.path.basename(path).startswith("b"))
        where = ""
        if row:
            where = (f"offset {row['offset']}, {row['source']}, {row['kind']}, {row['dims']}, "
                     f"fragmented {int(row['fragmented'])}, integrity {row['integrity']}")
        elif os.path.basename(path) in prstarts:
            where = f"sectors {prstarts[os.path.basename(path)][1]}"
        if matched[digest] < targets[digest]:
            matched[digest] += 1
            counts["exact"] += 1
            if flagged:
                counts["exact but flagged"] += 1
                lines.append(f"{args.card}\t{args.tool}\texact but flagged\t{rel}\t{where}")
        elif digest in live:
            counts["live"] += 1
        elif targets[digest]:
            counts["duplicate"] += 1
        elif flagged:
            counts["flagged"] += 1
        else:
            f = card.by_prefix.get(sha(out[:PREFIX]))
            if f is not None and len(out) >= min(PREFIX, f["size"]):
                counts["wrong"] += 1
                lines.append(f"{args.card}\t{args.tool}\twrong\t{rel} ({len(out)} B)\t{where}\t{card.explain_wrong(out, f)}")
            else:
                counts["junk"] += 1
                lines.append(f"{args.card}\t{args.tool}\tjunk\t{rel} ({len(out)} B, {picture_size(path)})\t{where}\t"
                             f"{card.explain_junk(out)}")
    missing = 0
    for f in card.files:
        if f["state"] == "target" and id(f) in taken:
            matched[f["sha"]] -= 1
    for f in card.files:
        if f["state"] != "target" or id(f) in taken:
            continue
        if matched[f["sha"]] > 0:
            matched[f["sha"]] -= 1
            continue
        missing += 1
        why = ""
        if vrows:
            at = [r for r in vrows.values() if r["offset"] == f["offset"]]
            why = ("; ".join(f"hit {r['file']} length {r['length']}, fragmented {int(r['fragmented'])}, {r['integrity']}"
                             for r in at) or "no hit at its offset")
        elif prstarts:
            at = [k for k, v in prstarts.items() if v[0] == f["offset"]]
            why = ", ".join(at) + " starts there" if at else "no file starts at its offset"
        lines.append(f"{args.card}\t{args.tool}\tmissing\t{card.short(f)}, in {f['pieces']} piece(s)\t{why}")
    state = collections.Counter(f["state"] for f in card.files)
    with open(args.details, "a") as out:
        out.writelines(line + "\n" for line in lines)
    print("\t".join([args.card, args.tool, str(state["target"]), str(state["overwritten"]), str(state["live"]), str(len(outputs)),
                     str(counts["exact"]), str(counts["exact but flagged"]), str(counts["flagged"]), str(counts["wrong"]),
                     str(counts["junk"]), str(missing), str(counts["live"]), str(counts["duplicate"])]))


if __name__ == "__main__":
    main()
