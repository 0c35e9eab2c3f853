"""Word forms from translated message catalogs, for the lists of languages
whose words take many endings.

The frequency lists hold 10,000 words a language; in Finnish, Hungarian or
Turkish most of a paragraph's words are inflected forms that none of them
holds. The message catalogs of Debian packages and of LibreOffice are the
same texts translated into each language, so they give the forms each
language really writes and, the texts being the same, how much more one
language uses a word than another. A word is taken when the catalogs of its
language use it often, the language's spelling dictionary knows it (hunspell
dictionaries, or Voikko for Finnish), and neither the English source texts
nor a neighbour's translations use it about as much.
"""
import collections
import gettext
import glob
import html
import os
import re
import subprocess
import unicodedata

# Debian's catalogs read (by text domain; the packages that install them:
# libpam-runtime, packagekit, appstream, at-spi2-common,
# libavahi-common-data, binutils-common, libgdk-pixbuf2.0-common, gettext, git,
# libglib2.0-data, gnupg-l10n, libgnutls30, gsettings-desktop-schemas,
# libgstreamer1.0-0, libgtk2.0-common, libidn2-0, make, polkitd,
# python-apt-common, shared-mime-info, software-properties-common, systemd,
# xdg-user-dirs, xkb-data). Never those of the texts the accuracy samples come
# from (bench/language/make_samples.py) nor of the packages whose manual pages
# they read (shadow, man-db, psmisc, adduser, xz-utils, hunspell...), nor lists
# of names (iso-codes).
DEBIAN_DOMAINS = [
    "Linux-PAM", "PackageKit", "appstream", "at-spi2-core", "avahi", "bfd",
    "binutils", "gas", "gold", "gprof", "ld", "opcodes", "gdk-pixbuf", "gettext-tools", "git",
    "glib20", "gnupg2", "gnutls30", "gsettings-desktop-schemas", "gstreamer-1.0", "gtk20",
    "gtk20-properties", "libidn2", "make", "polkit-1", "python-apt",
    "shared-mime-info", "software-properties", "systemd", "xdg-user-dirs", "xkeyboard-config"]
DEBIAN_CATALOGS = "/usr/share/locale/{locale}/LC_MESSAGES/{domain}.mo"
OFFICE_CATALOGS = "/usr/lib/libreoffice/program/resource/{locale}/LC_MESSAGES/*.mo"
# Engine code -> catalog folder.
LOCALES = {"cs": "cs", "da": "da", "de": "de", "fi": "fi", "fr": "fr", "hu": "hu",
           "it": "it", "nl": "nl", "no": "nb", "pl": "pl", "sv": "sv", "tr": "tr",
           "vi": "vi", "es-ES": "es", "pt-BR": "pt_BR", "pt-PT": "pt"}
# LibreOffice's help pages (libreoffice-help-LANG), by engine code: prose,
# read for the languages whose words take many endings and their neighbours.
HELP_PAGES = "/usr/share/libreoffice/help/{locale}"
HELP = {"cs": "cs", "fi": "fi", "hu": "hu", "pl": "pl", "tr": "tr"}
ENGLISH_HELP = "en-US"
# Engine code -> spelling dictionary: a hunspell dictionary or "voikko".
SPELLERS = {"cs": "cs_CZ", "da": "da_DK", "fi": "voikko", "hu": "hu_HU", "no": "nb_NO",
            "pl": "pl_PL", "sv": "sv_SE", "tr": "tr_TR"}
NOISE = re.compile(r"%(\d+\$)?[-+ #0]*\d*(\.\d+)?(hh|h|ll|l|L|z|j|t)?[a-zA-Z%]|%\w+%?"
                   r"|\$\w+|\\[ntr]|[_&~](?=\w)|<[^>]*>|\S+@\S+|\S*/\S*|\S*\.\S*\w")
WORD = re.compile(r"[^\W\d_]+(?:['’-][^\W\d_]+)*")


def catalog_files(locale):
    paths = [DEBIAN_CATALOGS.format(locale=locale, domain=domain) for domain in DEBIAN_DOMAINS]
    return [p for p in paths if os.path.exists(p)] + sorted(
        glob.glob(OFFICE_CATALOGS.format(locale=locale)))


def messages(path):
    """(source, translation) pairs of a catalog, plural forms included."""
    with open(path, "rb") as source:
        try:
            catalog = gettext.GNUTranslations(source)._catalog
        except (OSError, UnicodeDecodeError, IndexError, ValueError):
            return []
    pairs = []
    for key, value in catalog.items():
        if isinstance(key, tuple):
            key = key[0]
        if key and value and value != key:
            pairs.append((key.split("\x04")[-1], value))
    return pairs


def words_of(text):
    text = unicodedata.normalize("NFC", NOISE.sub(" ", text).lower())
    return WORD.findall(text)


def help_counts(locale):
    """Word counts of the text of a language's help pages."""
    counts = collections.Counter()
    root = HELP_PAGES.format(locale=locale)
    for folder, _, files in sorted(os.walk(root)):
        for name in sorted(files):
            if not name.endswith(".html"):
                continue
            with open(os.path.join(folder, name), encoding="utf-8", errors="replace") as page:
                text = page.read()
            text = re.sub(r"(?s)<(script|style|footer)[^>]*>.*?</\1>", " ", text)
            text = html.unescape(re.sub(r"<[^>]+>", " ", text))
            counts.update(words_of(text))
    return counts


class translations_type:
    """One language's translations, keyed by catalog and source text, with the
    word counts of the translations and of the sources."""

    def __init__(self, locale):
        self.messages = {}
        self.translated, self.original = collections.Counter(), collections.Counter()
        for path in catalog_files(locale):
            domain = os.path.basename(path)
            for source, translation in messages(path):
                self.messages[domain, source] = translation
                self.translated.update(words_of(translation))
                self.original.update(words_of(source))


def parallel_counts(one, other):
    """Word counts of the messages both languages translate, in each."""
    ours, theirs = collections.Counter(), collections.Counter()
    for key in one.messages.keys() & other.messages.keys():
        ours.update(words_of(one.messages[key]))
        theirs.update(words_of(other.messages[key]))
    return ours, theirs


def spelled(code, words):
    """The words the language's spelling dictionary knows."""
    speller = SPELLERS.get(code)
    if speller is None or not words:
        return set(words)
    text = "".join(w + "\n" for w in words)
    if speller == "voikko":
        out = subprocess.run(["voikkospell"], input=text, capture_output=True, text=True).stdout
        return {line[3:] for line in out.splitlines() if line.startswith("C: ")}
    out = subprocess.run(["hunspell", "-d", speller, "-i", "utf-8", "-G"], input=text,
                         capture_output=True, text=True).stdout
    return set(out.split())


def corpus():
    """The translations of each language, by engine code; those with help
    pages count their words too, and the English help's as source text."""
    translations = {code: translations_type(locale) for code, locale in LOCALES.items()}
    english = help_counts(ENGLISH_HELP)
    for code, locale in HELP.items():
        translations[code].translated += help_counts(locale)
        translations[code].original += english
    return translations


def per_million(counter):
    total = sum(counter.values()) or 1
    return {w: n * 1_000_000 / total for w, n in counter.items()}


def fits(word, letters):
    return all(c in letters for c in word)


def extra_words(code, corpus, known, letters, max_bytes, limit, least=2, neighbours=()):
    """Forms the catalogs of the language use that its list lacks, most used first.

    Another language's translations may use it at most half as often; a close
    neighbour's translations of the same messages may use a word as much, since
    shared words go to both lists, but not more than twice as often."""
    translations = corpus[code]
    own, english = per_million(translations.translated), per_million(translations.original)
    others = {other: per_million(t.translated) for other, t in corpus.items()
              if other != code and other not in neighbours}
    side_by_side = [parallel_counts(translations, corpus[other]) for other in sorted(neighbours)]
    candidates = []
    for word, uses in translations.translated.most_common():
        if uses < least:
            break
        if word in known or len(word) < 2 or len(word.encode("utf-8")) > max_bytes:
            continue
        if not fits(word, letters) or word.strip("'’-") != word:
            continue
        if 2 * english.get(word, 0) >= own[word]:
            continue
        if any(2 * rates.get(word, 0) >= own[word] for rates in others.values()):
            continue
        if any(theirs[word] > 2 * ours[word] for ours, theirs in side_by_side):
            continue
        candidates.append(word)
    known_to_speller = spelled(code, candidates)
    return [w for w in candidates if w in known_to_speller][:limit]


def shared_words(code, words, other, other_words, corpus, letters, least=3):
    """Words of the other's list that this language's translations of the same
    messages use at least half as often, which this list lacks: a word the
    neighbours share should count for both or for neither."""
    theirs, ours = parallel_counts(corpus[other], corpus[code])
    present = set(words)
    candidates = [w for w in other_words if w not in present and ours[w] >= least
                  and 2 * ours[w] >= theirs[w] and fits(w, letters)]
    known_to_speller = spelled(code, candidates)
    return [w for w in candidates if w in known_to_speller]
