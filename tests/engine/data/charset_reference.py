"""What Python's codecs make of byte strings, for the charset test. Prints
lines "charset bytes text": the bytes in hex and their decoding (invalid
sequences ignored) as UTF-32BE in hex, "-" for nothing. First a sample text,
then every character the charset can encode, each on its own line."""

SAMPLE = ("Plain ASCII 0123 ~ \u00e9\u00e8\u00fc\u00df\u00a0\u00a9 \u20ac \u0160\u017e\u0107 "
          "\u041f\u0440\u0438\u0432\u0435\u0442 \u0451 \u0391\u03b2 \u4f60\u597d\u4e16\u754c "
          "\u3053\u3093\u306b\u3061\u306f \u30ab\u30bf\u30ab\u30ca \uff76\uff80 \ud55c\uad6d\uc5b4 "
          "\u201c\u201d\u2018\u2019 \u00bd\u00b0 \u5e73\u6210 \u9ad8\u6a4b \u2460")

CHARSETS = ["utf-8", "iso-8859-1", "iso-8859-2", "iso-8859-5", "iso-8859-15",
            "windows-1250", "windows-1251", "windows-1252", "koi8-r", "gbk", "big5",
            "shift_jis", "euc-kr", "iso-2022-jp"]


def line(charset, data):
    text = data.decode(charset, errors="ignore")
    print(charset, data.hex() or "-", text.encode("utf-32-be").hex() or "-")


def eten(charset, c):
    """Big5's C6A1-C7FC holds the ETEN extensions, which Big5-HKSCS lays out
    differently."""
    return charset == "big5" and c.encode(charset, errors="ignore")[:1] in (b"\xc6", b"\xc7")


for charset in CHARSETS:
    sample = "".join(c for c in SAMPLE if not eten(charset, c))
    line(charset, sample.encode(charset, errors="ignore"))
    if charset == "utf-8":
        # Malformed sequences: each maximal invalid part is dropped.
        for data in (b"a\xc3b", b"x\xe2\x82y", b"\xf0\x9f\x98z", b"\xed\xa0\x80q", b"\xc0\xaf!",
                     b"\xf4\x90\x80\x80.", b"\xff\xfe\x80a", b"\xe0\x80\x80b", b"\xc3\xa9\xa9c"):
            line(charset, data)
    last = 0x110000 if charset == "utf-8" else 0x10000
    for code in range(0x20, last, 1 if charset != "utf-8" else 97):
        if 0xD800 <= code <= 0xDFFF:
            continue
        try:
            line(charset, chr(code).encode(charset))
        except UnicodeEncodeError:
            pass
