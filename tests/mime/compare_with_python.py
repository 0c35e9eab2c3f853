#!/usr/bin/python3
"""Compares the engine's MIME part trees with those of Python's email package.

Runs over the sample messages of Python's own test suite and over messages
generated here at random with email.message (nested mixed, alternative,
related and message/rfc822 parts, assorted charsets, Base64, quoted-printable
and 8bit bodies, CR LF and LF line ends). The engine's tree comes from the
tool given with --tool; any difference that is not one of the known, intended
divergences below fails.

Known, intended divergences, normalised here:
- LINE_END: the line end before a delimiter line belongs to the engine's part
  (Python drops it), so an 8bit or quoted-printable leaf below a multipart has
  one more line end.
- BLANKS: blanks are token characters in the engine's content-type grammar,
  so "text / plain" gives the type "text " (compared without blanks) and a
  blank before or after "=" hides that parameter.
- INNERMOST: only the innermost boundary ends a part in the engine; Python
  also ends it at an enclosing boundary (such samples are compared no further).
- LOOSE_DELIMITER: the engine ignores what follows a delimiter's boundary;
  Python wants only blanks there (samples compared no further).
- RFC2231: the engine reads plain parameters only, not RFC 2231 encoded ones
  (a message whose boundary is encoded so is compared no further).
- NON_HEADER_LINE: a line without a colon in a header block is a field with an
  empty value to the engine; Python starts the body there (compared no
  further).
- MESSAGE_SUBTYPES: only message/rfc822 encloses a message in the engine;
  other message/* parts are leaves, which Python splits into header blocks
  (their content is not compared).
"""

import argparse
import base64
import email
import hashlib
import os
import quopri
import random
import re
import subprocess
import sys
import tempfile
from email import policy as email_policy
from email.message import Message

ANY = object()  # a field that is not compared


def line_end_of(data):
    if b"\r\n" in data:
        return b"\r\n"
    if b"\n" in data:
        return b"\n"
    return b"\r" if b"\r" in data else b"\n"


def raw_content_type(part):
    value = part.get("content-type")
    return "" if value is None else str(value)


def python_tree(data):
    """The lines the tool would print, by Python's reading of the message."""
    message = email.message_from_bytes(data, policy=email_policy.compat32)
    line_end = line_end_of(data)
    paths = {}

    def assign(part, path, below_multipart):
        paths[id(part)] = (path, below_multipart)
        if part.get_content_maintype() == "message" and part.get_content_subtype() != "rfc822":
            return  # MESSAGE_SUBTYPES
        if part.is_multipart():
            children = part.get_payload()
            inner = below_multipart or part.get_content_maintype() == "multipart"
            for index, child in enumerate(children, 1):
                assign(child, "%s.%d" % (path, index), inner)

    assign(message, "0", False)
    lines = []
    for part in message.walk():
        if id(part) not in paths:
            continue  # inside a message/* leaf
        path, below_multipart = paths[id(part)]
        ctype = part.get_content_type()
        maintype = part.get_content_maintype()
        raw = raw_content_type(part)
        charset, name, length, digest = "-", "-", "-", "-"
        if maintype == "text":
            charset = part.get_content_charset() or "us-ascii"
            if re.search(r"charset[ \t]*=|=[ \t]", raw, re.I) and re.search(
                    r"charset[ \t]+=|charset[ \t]*=[ \t]", raw, re.I):
                charset = ANY  # BLANKS
        is_leaf = not part.is_multipart() and not (
            maintype == "message" and part.get_content_subtype() == "rfc822")
        if maintype == "message" and part.get_content_subtype() != "rfc822":
            is_leaf = True
        if maintype == "multipart" and not part.is_multipart():
            is_leaf = False  # a multipart without boundary has no decoded content
        if is_leaf and maintype != "text":
            value = part.get_param("name")
            if isinstance(value, tuple):
                name = "-"  # RFC2231
            elif value is not None:
                name = value.replace("\t", " ") or "-"
            if re.search(r"name[ \t]+=|name[ \t]*=[ \t]", raw, re.I):
                name = ANY  # BLANKS
        if is_leaf:
            if maintype == "message":
                length = digest = ANY  # MESSAGE_SUBTYPES
            else:
                payload = part.get_payload(decode=True) or b""
                cte = str(part.get("content-transfer-encoding", "")).strip().lower()
                candidates = [payload]
                if below_multipart and cte != "base64":
                    # LINE_END; with an empty body Python cannot tell whether
                    # a line end stood before the delimiter.
                    candidates = [payload + line_end]
                    if part.get_payload() == "":
                        candidates.append(payload)
                length = {(str(len(c)), hashlib.md5(c).hexdigest()) for c in candidates}
                digest = None
        lines.append([path, ctype, charset, name, length, digest])
    return lines


def header_boundaries(text):
    """The boundary parameters of the content-type fields, in order."""
    unfolded = re.sub(r"\r?\n[ \t]+", " ", text)
    found = re.findall(r'^content-type:[^\r\n]*?boundary[ \t]*=[ \t]*(?:"([^"\r\n]*)"|([^;\s]+))',
                       unfolded, re.I | re.M)
    return [quoted or bare for quoted, bare in found]


def comparable(data):
    """Why a message cannot be compared at all, or None."""
    text = data.decode("latin-1")
    head = re.split(r"\r?\n\r?\n|\r\r", text, maxsplit=1)[0]
    for line in re.split(r"\r?\n|\r", head):
        if line and line[0] not in " \t" and ":" not in line and not line.startswith("From "):
            return "NON_HEADER_LINE"
    if re.search(r"boundary\*", text, re.I):
        return "RFC2231"
    boundaries = header_boundaries(text)
    if len(set(boundaries)) != len(boundaries):
        return "INNERMOST"
    lines = re.split(r"\r?\n|\r", text)
    spans = {}
    for boundary in boundaries:
        marks = [i for i, line in enumerate(lines) if line.startswith("--" + boundary)]
        for i in marks:
            rest = lines[i][len(boundary) + 2:]
            if rest.strip(" \t") not in ("", "--"):
                return "LOOSE_DELIMITER"
        if marks:
            spans[boundary] = (marks[0], marks[-1])
    for outer, (outer_first, outer_last) in spans.items():
        for inner, (inner_first, inner_last) in spans.items():
            if outer != inner and outer_first < inner_first and inner_last < outer_last:
                if any(inner_first < i < inner_last and lines[i].startswith("--" + outer)
                       for i in range(inner_first, inner_last)):
                    return "INNERMOST"
    return None


def same(ours, theirs):
    if len(ours) != len(theirs):
        return False
    for our_line, their_line in zip(ours, theirs):
        if len(our_line) != len(their_line):
            return False
        for column, (a, b) in enumerate(zip(our_line, their_line)):
            if b is ANY or b is None:
                continue
            if isinstance(b, set):  # decoded length and digest together
                if (our_line[4], our_line[5]) not in b:
                    return False
                continue
            if column == 1:  # BLANKS: the type compares without blanks
                a, b = re.sub(r"[ \t]", "", a), re.sub(r"[ \t]", "", b)
            if a != b:
                return False
    return True


# Messages made here at random.

CHARSETS = ["us-ascii", "utf-8", "iso-8859-1", "iso-8859-5", "windows-1251", "koi8-r",
            "shift_jis", "gb2312", "big5", "iso-2022-jp"]
WORDS = ["spam", "ham", "--", "=", "==", "From", ".", "caf\u00e9", "\u043f\u0440\u0438\u0432\u0435\u0442",
         "\u65e5\u672c\u8a9e", "\u4e2d\u6587", "=41", "=\r", "\t", "  ", "boundary", "--x"]


def random_text(rng, charset):
    lines = []
    for _ in range(rng.randint(0, 12)):
        words = [rng.choice(WORDS) for _ in range(rng.randint(0, 30))]
        lines.append(" ".join(words) + rng.choice(["", " ", "\t"]))
    text = "\n".join(lines) + rng.choice(["", "\n", "\n\n"])
    return text.encode(charset, errors="ignore")


def random_leaf(rng):
    kind = rng.choice(["text/plain", "text/html", "text/plain", "application/octet-stream",
                       "image/png"])
    part = Message()
    if kind.startswith("text/"):
        charset = rng.choice(CHARSETS)
        body = random_text(rng, charset)
        part["Content-Type"] = '%s; charset="%s"' % (kind, charset)
    else:
        body = bytes(rng.getrandbits(8) for _ in range(rng.randint(0, 3000)))
        part["Content-Type"] = '%s; name="file-%d.bin"' % (kind, rng.randint(0, 99))
    encoding = rng.choice(["base64", "quoted-printable", "8bit"] if kind.startswith("text/")
                          else ["base64", "base64", "quoted-printable"])
    part["Content-Transfer-Encoding"] = encoding
    if encoding == "base64":
        part.set_payload(base64.encodebytes(body).decode("ascii"))
    elif encoding == "quoted-printable":
        part.set_payload(quopri.encodestring(body).decode("ascii"))
    else:
        part.set_payload(body.decode("ascii", "surrogateescape"))
    return part


def random_part(rng, depth):
    if depth >= 4 or rng.random() < 0.45:
        return random_leaf(rng)
    kind = rng.choice(["mixed", "alternative", "related", "rfc822"])
    if kind == "rfc822":
        part = Message()
        part["Content-Type"] = "message/rfc822"
        inner = random_part(rng, depth + 1)
        inner["Subject"] = "enclosed"
        part.set_payload([inner])
        return part
    part = Message()
    part["Content-Type"] = "multipart/" + kind
    part.set_payload([random_part(rng, depth + 1) for _ in range(rng.randint(1, 4))])
    if rng.random() < 0.3:
        part.preamble = "This is a multipart message."
    if rng.random() < 0.3:
        part.epilogue = "trailer"
    return part


def generated_messages(count, seed=2409):
    rng = random.Random(seed)
    for index in range(count):
        message = random_part(rng, 0)
        message["Subject"] = "generated %d" % index
        line_end = rng.choice(["\r\n", "\n"])
        yield "generated-%04d.eml" % index, message.as_bytes(
            policy=email_policy.compat32.clone(linesep=line_end))


def run_tool(tool, paths):
    output = subprocess.run([tool] + paths, check=True, capture_output=True).stdout
    trees, current = {}, None
    for line in output.decode("utf-8", "replace").splitlines():
        if line.startswith("== "):
            current = trees.setdefault(line[3:], [])
        else:
            current.append(line.split("\t"))
    return trees


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--samples", required=True)
    parser.add_argument("--generated", type=int, default=1000)
    arguments = parser.parse_args()

    with tempfile.TemporaryDirectory() as work:
        messages = {}
        samples = sorted(f for f in os.listdir(arguments.samples) if re.match(r"msg_.*\.txt$", f))
        if not samples:
            print("no sample messages in %s" % arguments.samples)
            return 1
        for name in samples:
            with open(os.path.join(arguments.samples, name), "rb") as f:
                messages[os.path.join(arguments.samples, name)] = f.read()
        for name, data in generated_messages(arguments.generated):
            path = os.path.join(work, name)
            with open(path, "wb") as f:
                f.write(data)
            messages[path] = data

        trees = run_tool(arguments.tool, list(messages))
        compared, skipped, failed = 0, {}, []
        for path, data in messages.items():
            reason = comparable(data)
            if reason is not None:
                skipped[reason] = skipped.get(reason, 0) + 1
                continue
            ours, theirs = trees.get(path), python_tree(data)
            compared += 1
            if ours is None or not same(ours, theirs):
                failed.append(path)
                print("DIFFERENT: %s" % path)
                print("  engine: %s" % ours)
                print("  python: %s" % [[("*" if x is ANY else x) for x in l] for l in theirs])
        generated = sum(1 for p in messages if "generated-" in p)
        print("%d messages (%d generated), %d compared, skipped %s" %
              (len(messages), generated, compared, skipped or "none"))
        print("%d passed, %d failed" % (compared - len(failed), len(failed)))
        return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
