#!/usr/bin/env python3
"""Paragraph-sized labelled samples from Debian's gettext catalogs.

Writes one sample a line, "CODE<TAB>TEXT", to standard output: translations
(msgstr) of the catalogs of a few packages, joined until a sample holds at
least --length characters. English samples are the catalogs' own source
texts (msgid). Format directives, escapes and command-line options are taken
out first. Needs msgunfmt (Debian package gettext).
"""
import argparse
import re
import subprocess
import sys

PACKAGES = ["coreutils", "bash", "apt", "dpkg", "grep", "sed", "findutils",
            "diffutils", "tar", "gettext-runtime", "wget", "libc"]
# Engine code -> catalog folder under /usr/share/locale.
LOCALES = {"cs": "cs", "da": "da", "de": "de", "fi": "fi", "fr": "fr", "hu": "hu",
           "it": "it", "nl": "nl", "no": "nb", "pl": "pl", "pt-BR": "pt_BR", "sv": "sv",
           "tr": "tr", "vi": "vi", "en": "de", "pt-PT": "pt", "es-ES": "es"}

ENTRY = re.compile(r'^(msgid|msgstr(?:\[0\])?) "(.*)"$')
CONTINUATION = re.compile(r'^"(.*)"$')
NOISE = re.compile(r"%(\d+\$)?[-+ #0]*\d*(\.\d+)?(hh|h|ll|l|L|z|j|t)?[a-zA-Z%]"
                   r"|\\[ntr\"\\]|(?<!\w)--?[\w-]+|[_&~]|<[^>]*>|\S+@\S+|\S*/\S*")


def entries(path):
    """(msgid, msgstr) pairs of one catalog."""
    po = subprocess.run(["msgunfmt", path], capture_output=True, text=True,
                        errors="replace").stdout
    current, key, pairs = {}, None, []
    for line in po.splitlines():
        match = ENTRY.match(line)
        if match:
            key = "msgid" if match.group(1) == "msgid" else "msgstr"
            if key == "msgid" and "msgstr" in current:
                pairs.append((current.get("msgid", ""), current["msgstr"]))
                current = {}
            current[key] = current.get(key, "") + match.group(2)
            continue
        match = CONTINUATION.match(line)
        if match and key:
            current[key] = current.get(key, "") + match.group(1)
        elif not line.startswith('"'):
            key = None if not line.startswith("msg") else key
    if "msgstr" in current:
        pairs.append((current.get("msgid", ""), current["msgstr"]))
    return pairs


def clean(text):
    return " ".join(NOISE.sub(" ", text).split())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--length", type=int, default=400)
    parser.add_argument("--locale-dir", default="/usr/share/locale")
    args = parser.parse_args()
    for code, folder in LOCALES.items():
        sample, count = [], 0
        for package in PACKAGES:
            path = f"{args.locale_dir}/{folder}/LC_MESSAGES/{package}.mo"
            try:
                pairs = entries(path)
            except FileNotFoundError:
                continue
            for msgid, msgstr in pairs:
                if not msgid or not msgstr or (code != "en" and msgstr == msgid):
                    continue
                text = clean(msgid if code == "en" else msgstr)
                if len(text) < 12 or " " not in text:
                    continue
                sample.append(text)
                if sum(len(t) + 1 for t in sample) >= args.length:
                    print(f"{code}\t{' '.join(sample)}")
                    sample, count = [], count + 1
        print(f"{code}: {count} samples", file=sys.stderr)


if __name__ == "__main__":
    main()
