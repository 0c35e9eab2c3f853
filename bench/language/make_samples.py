#!/usr/bin/env python3
"""Paragraph-sized labelled samples from Debian's translated texts.

Writes one sample a line, "CODE<TAB>TEXT", to standard output. None of these
texts is used to make the word lists (engine/language/tools/make_lists.py), so
they measure the lists on text they have not seen.

Sources (--source, default all):
  gettext  translations (msgstr) of the catalogs of a few packages, joined
           until a sample holds at least --length characters; English samples
           are the catalogs' own source texts (msgid). Needs msgunfmt
           (Debian package gettext).
  guide    paragraphs of Debian's installation guide
           (installation-guide-amd64); a paragraph also found in the English
           guide is left out.
  man      paragraphs of translated manual pages (Debian's manpages-LANG
           packages and the pages other packages translate); a paragraph
           also found in the English pages is left out.
  help     paragraphs of GNOME's desktop help (gnome-user-docs); a paragraph
           also found in the English help is left out.
Paragraphs are kept when they hold --min to --max characters. Paragraphs in
other languages that read as English (left untranslated, or translated only
in part) are left out too.
"""
import argparse
import glob
import gzip
import html
import re
import subprocess
import sys
import unicodedata

PACKAGES = ["coreutils", "bash", "apt", "dpkg", "grep", "sed", "findutils",
            "diffutils", "tar", "gettext-runtime", "wget", "libc"]
# Engine code -> catalog folder under /usr/share/locale.
LOCALES = {"cs": "cs", "da": "da", "de": "de", "fi": "fi", "fr": "fr", "hu": "hu",
           "it": "it", "nl": "nl", "no": "nb", "pl": "pl", "pt-BR": "pt_BR", "sv": "sv",
           "tr": "tr", "vi": "vi", "en": "de", "pt-PT": "pt", "es-ES": "es"}
# Engine code -> folder of the installation guide.
GUIDE = {"cs": "cs", "da": "da", "de": "de", "en": "en", "es-ES": "es", "fr": "fr",
         "it": "it", "nl": "nl", "pt-PT": "pt", "sv": "sv", "vi": "vi"}
# Engine code -> folder under /usr/share/man ("" for the English pages).
MANUALS = {"cs": "cs", "da": "da", "de": "de", "fi": "fi", "fr": "fr", "hu": "hu",
           "it": "it", "nl": "nl", "no": "nb", "pl": "pl", "pt-BR": "pt_BR", "sv": "sv",
           "tr": "tr", "vi": "vi", "en": "", "pt-PT": "pt", "es-ES": "es"}

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


def gettext_samples(code, locale_dir, length):
    folder, sample = LOCALES[code], []
    for package in PACKAGES:
        path = f"{locale_dir}/{folder}/LC_MESSAGES/{package}.mo"
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
            if sum(len(t) + 1 for t in sample) >= length:
                yield " ".join(sample)
                sample = []


# Engine code -> folder of GNOME's desktop help under /usr/share/help. The
# European Portuguese help is the Brazilian one partly adapted (a fifth of its
# paragraphs are the Brazilian ones word for word), so it is left out.
HELP = {"cs": "cs", "da": "da", "de": "de", "en": "C", "es-ES": "es", "fi": "fi", "fr": "fr",
        "hu": "hu", "it": "it", "nl": "nl", "pl": "pl", "pt-BR": "pt_BR", "sv": "sv",
        "tr": "tr", "vi": "vi"}


def page_paragraphs(paths, paragraph, left_out=None):
    """Texts of the paragraphs (the pattern's group "text") of markup pages."""
    for path in paths:
        with open(path, encoding="utf-8", errors="replace") as source:
            page = source.read()
        if left_out:
            page = re.sub(left_out, " ", page)
        for match in re.finditer(paragraph, page):
            yield " ".join(html.unescape(re.sub(r"<[^>]+>", " ", match.group("text"))).split())


def help_paragraphs(code):
    folder = HELP.get(code)
    if folder is not None:
        yield from page_paragraphs(
            sorted(glob.glob(f"/usr/share/help/{folder}/gnome-help/*.page")),
            r"(?s)<(p|title|desc)\b[^>]*>(?P<text>.*?)</\1>",
            r"(?s)<(code|cmd|screen|media)\b[^>]*>.*?</\1>")


def guide_paragraphs(code):
    folder = GUIDE.get(code)
    if folder is not None:
        yield from page_paragraphs(
            sorted(glob.glob(f"/usr/share/doc/installation-guide-amd64/{folder}/*.html")),
            r"(?s)<p>(?P<text>.*?)</p>")


TROFF_ESCAPE = re.compile(r"\\f(\[[^]]*\]|\(..|.)|\\[*n]\(?..|\\[&|^%:]|\\s[-+]?\d")
# Special characters: \(xx and \[name]. Many translated pages (po4a's) write
# every accented letter so: "op\(,c\(~ao" is "opção".
GLYPH = re.compile(r"\\\((..)|\\\[([^]]*)\]")
ACCENTS = {"'": "\u0301", "`": "\u0300", "^": "\u0302", "~": "\u0303", ":": "\u0308",
           ",": "\u0327", "v": "\u030c", "o": "\u030a", "\"": "\u030b"}
GLYPHS = {"oa": "å", "oA": "Å", "/o": "ø", "/O": "Ø", "/l": "ł", "/L": "Ł", "ae": "æ",
          "AE": "Æ", "oe": "œ", "OE": "Œ", "ss": "ß", "-D": "Đ", "Sd": "ð", "TP": "Þ",
          "Tp": "þ", ".i": "ı", "aq": "'", "dq": '"', "lq": "“", "rq": "”", "oq": "‘",
          "cq": "’", "Fo": "«", "Fc": "»", "hy": "-", "en": "–", "em": "—", "ti": "~",
          "ha": "^", "rs": "\\", "shc": ""}


def glyph(match):
    name = match.group(1) or match.group(2)
    if name in GLYPHS:
        return GLYPHS[name]
    if re.fullmatch(r"u[0-9A-F]{4,6}", name):
        return chr(int(name[1:], 16))
    if len(name) == 2 and name[0] in ACCENTS and name[1].isalpha():
        return unicodedata.normalize("NFC", name[1] + ACCENTS[name[0]])
    return " "
BREAKS = {".PP", ".LP", ".P", ".SH", ".SS", ".TP", ".IP", ".HP", ".TQ", ".sp", ".br", ".RS", ".RE"}


def manual_paragraphs(path):
    opener = gzip.open if path.endswith(".gz") else open
    try:
        with opener(path, "rt", encoding="utf-8", errors="replace") as source:
            lines = source.read().splitlines()
    except OSError:
        return
    paragraph, literal = [], False
    for line in lines:
        if line.startswith((".nf", ".EX")):
            literal = True
        elif line.startswith((".fi", ".EE")):
            literal = False
            continue
        if literal:
            continue
        if line.startswith((".", "'")):
            macro = line.split()[0] if line.split() else line
            if macro in BREAKS or macro.startswith(".S"):
                if paragraph:
                    yield " ".join(paragraph)
                paragraph = []
                continue
            if macro in {".B", ".I", ".BR", ".IR", ".RB", ".RI", ".BI", ".IB", ".SM"}:
                line = line[len(macro):].replace('"', "")
            else:
                continue
        if not line.strip():
            if paragraph:
                yield " ".join(paragraph)
            paragraph = []
            continue
        text = GLYPH.sub(glyph, TROFF_ESCAPE.sub("", line)).replace("\\-", "-").replace("\\e", "\\")
        paragraph.append(" ".join(text.split()))
    if paragraph:
        yield " ".join(paragraph)


def manual_files(folder):
    root = f"/usr/share/man/{folder}/" if folder else "/usr/share/man/"
    return sorted(glob.glob(root + "man[1-8]/*"))


def key(text):
    """Letters only: an untranslated paragraph matches its English original."""
    return re.sub(r"[\W\d_]+", "", text.lower())


# English words no other dictionary language uses as a common word of its own.
ENGLISH_WORDS = {"the", "and", "with", "which", "this", "that", "from", "are", "will", "when",
                 "should", "would", "been", "has", "have", "not", "can", "its", "only"}


def english(text):
    """A paragraph the translators left in English, or rewrote only in part
    (placeholders translated, sentences not)."""
    words = re.findall(r"[^\W\d_]+", text.lower())
    found = sum(w in ENGLISH_WORDS for w in words)
    return found >= 2 and found >= 0.08 * len(words)


def prose(paragraphs, minimum, maximum, exclude=frozenset()):
    """exclude: keys of the English paragraphs, for sources in other languages."""
    for paragraph in paragraphs:
        text = " ".join(paragraph.split())
        if not minimum <= len(text) <= maximum or key(text) in exclude:
            continue
        if exclude and english(text):
            continue
        letters = sum(c.isalpha() or c.isspace() for c in text)
        # Sentences, not commands, options or tables.
        if letters < 0.85 * len(text) or len(text.split()) < 8:
            continue
        yield text


def spread(samples, limit):
    """At most limit samples, taken evenly over the whole source."""
    samples = list(samples)
    if limit and len(samples) > limit:
        step = len(samples) / limit
        samples = [samples[int(i * step)] for i in range(limit)]
    return samples


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--source", choices=["all", "gettext", "guide", "man", "help"], default="all")
    parser.add_argument("--length", type=int, default=400)
    parser.add_argument("--min", type=int, default=100)
    parser.add_argument("--max", type=int, default=600)
    parser.add_argument("--limit", type=int, default=300, help="samples per language and source")
    parser.add_argument("--locale-dir", default="/usr/share/locale")
    args = parser.parse_args()
    english = set()
    if args.source in ("all", "man"):
        for path in manual_files(""):
            english.update(key(p) for p in manual_paragraphs(path))
    if args.source in ("all", "guide"):
        english.update(key(p) for p in guide_paragraphs("en"))
    if args.source in ("all", "help"):
        english.update(key(p) for p in help_paragraphs("en"))
    for code in LOCALES:
        counts = []
        if args.source in ("all", "gettext"):
            samples = spread(gettext_samples(code, args.locale_dir, args.length), args.limit)
            counts.append(f"gettext {len(samples)}")
            for text in samples:
                print(f"{code}\t{text}")
        if args.source in ("all", "guide"):
            exclude = frozenset() if code == "en" else english
            samples = spread(prose(guide_paragraphs(code), args.min, args.max, exclude), args.limit)
            counts.append(f"guide {len(samples)}")
            for text in samples:
                print(f"{code}\t{text}")
        if args.source in ("all", "help"):
            exclude = frozenset() if code == "en" else english
            samples = spread(dict.fromkeys(prose(help_paragraphs(code), args.min, args.max, exclude)),
                             args.limit)
            counts.append(f"help {len(samples)}")
            for text in samples:
                print(f"{code}\t{text}")
        if args.source in ("all", "man"):
            paragraphs = (p for path in manual_files(MANUALS[code]) for p in manual_paragraphs(path))
            exclude = frozenset() if code == "en" else english
            samples = spread(dict.fromkeys(prose(paragraphs, args.min, args.max, exclude)), args.limit)
            counts.append(f"man {len(samples)}")
            for text in samples:
                print(f"{code}\t{text}")
        print(f"{code}: " + ", ".join(counts), file=sys.stderr)


if __name__ == "__main__":
    main()
