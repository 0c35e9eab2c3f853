"""Which common Portuguese words the European and the Brazilian list keep.

Language identification adds the length of every word a list holds to that
list's language, so between the two variants only the words one list holds
and the other does not decide; equal counts go to Brazil. Each word thus
takes one of three states: in both lists, only in the European one or only in
the Brazilian one. The states are learnt from texts translated into both
variants:

- spellings only one variant uses come from Debian's word lists wportuguese
  and wbrazilian (contacto/contato, económico/econômico), and the older
  European spellings ("actual", "acção") from European texts that keep them;
- a word the translations use in one variant far more often than in the
  other (smoothed log-odds, leaning the same way in every kind of text) is
  that variant's;
- any other word that leans clearly one way, or a frequent word that leans
  a little towards Portugal, leaves the other list when that lowers the
  logistic loss of paragraph-sized samples of the translations (both
  variants weighted equally) by more than a fixed penalty, tried word by
  word over a few passes. A neutral text has no marker and goes to Brazil,
  so a few such words can tip it.

Sources: the message catalogs of the packages in CATALOGS and of LibreOffice
(libreoffice-l10n-pt, libreoffice-l10n-pt-br), LibreOffice's help
(libreoffice-help-pt, libreoffice-help-pt-br) and the Debian Edu manuals
(debian-edu-doc-pt-pt, debian-edu-doc-pt-br and their legacy packages); the
Debian Reference (debian-reference-pt) is European text only and serves as
such. When validating, the manuals are kept out of the learning and the
samples cut from them are scored: the settings below were chosen so.
"""
import collections
import glob
import html
import math
import re
import subprocess
import sys
import unicodedata
import zlib

# Message catalogs translated into both variants (Debian packages glib2.0,
# gtk+2.0, gsettings-desktop-schemas, appstream, xkeyboard-config, make,
# shared-mime-info, systemd, packagekit, gettext, iso-codes, polkitd,
# at-spi2-core, gdk-pixbuf). Packages whose manual pages the accuracy samples
# read stay out.
CATALOGS = [
    "glib20", "gtk20", "gtk20-properties", "gsettings-desktop-schemas", "appstream",
    "xkeyboard-config", "make", "shared-mime-info", "systemd", "PackageKit",
    "gettext-tools", "iso_3166-1", "iso_639-3", "polkit-1", "at-spi2-core", "gdk-pixbuf"]
OFFICE_CATALOGS = "/usr/lib/libreoffice/program/resource/{locale}/LC_MESSAGES/*.mo"
OFFICE_HELP = "/usr/share/libreoffice/help/{locale}/text/*/*/*.html"
EDU_MANUALS = ["/usr/share/doc/debian-edu-doc-{locale}/*.html",
               "/usr/share/doc/debian-edu-doc-legacy-{locale}/*.html"]
EUROPEAN_FOLDER = "/usr/share/doc/debian-reference-pt/docs/"
EUROPEAN_TEXTS = EUROPEAN_FOLDER + "*.pt.html"
# Locale folder names of the two variants in each kind of source.
LOCALES = {"catalog": ("pt", "pt_BR"), "office": ("pt", "pt-BR"), "edu": ("pt-pt", "pt-br")}

# Samples are cut from consecutive paragraphs to these lengths in turn, the
# range of the paragraphs a message holds.
SAMPLE_LENGTHS = (120, 250, 400, 600)
# A word may leave one list when it is used this many times in all, the
# smoothed odds of the two variants differ by at least e^LEANING, and by
# e^KIND_LEANING in each kind of text that uses it this often; a word used so
# in fewer than KINDS kinds must differ by e^SURE_LEANING.
LEAST_USES = 20
SMOOTHING = 1.0
LEANING = math.log(2)
KIND_LEANING = math.log(1.5)
KINDS = 2
SURE_LEANING = math.log(4)
# Odds this far apart make a marker outright.
MARKER_LEANING = math.log(6)
# The most used words, which may go to Portugal when they lean its way at all.
FREQUENT = 300
# Words of one dictionary only count when that variant's texts use them this
# often, and this many times as often as the other's.
OLDER_USES = 2
SPELLING_RATIO = 8
# A word leaves a list it would otherwise keep only when that lowers the
# samples' loss by this much (in samples).
PENALTY = 3.0
# Margin in characters that counts as sure.
SOFTNESS = 16.0
PASSES = 4
BRAZILIAN_COMMON = 300

WORD = re.compile(r"[^\W\d_]+(?:['’][^\W\d_]+)*")
NOISE = re.compile(r"%(\d+\$)?[-+ #0]*\d*(\.\d+)?(hh|h|ll|l|L|z|j|t)?[a-zA-Z%]"
                   r"|\\[ntr\"\\]|(?<!\w)--?[\w-]+|[_&~]|<[^>]*>|\S+@\S+|\S*/\S*|\$\w+")
# Enough of these marks Portuguese, not a paragraph left in English.
FUNCTION_WORDS = {"de", "que", "do", "da", "dos", "das", "os", "em", "para", "com",
                  "não", "uma", "ao", "no", "na", "é", "se", "ou", "pelo", "pela"}


def words_of(text):
    return WORD.findall(unicodedata.normalize("NFC", text).lower())


def catalog_messages(path):
    """The translations of one compiled catalog (needs msgunfmt)."""
    po = subprocess.run(["msgunfmt", path], capture_output=True, text=True,
                        errors="replace").stdout
    messages, current, in_msgstr = [], [], False
    for line in po.splitlines():
        if line.startswith("msgstr"):
            in_msgstr = True
            current.append(line[line.index('"') + 1:-1])
        elif line.startswith('"') and in_msgstr:
            current.append(line[1:-1])
        else:
            if in_msgstr and current:
                messages.append("".join(current))
            current, in_msgstr = [], False
    if current:
        messages.append("".join(current))
    return [" ".join(NOISE.sub(" ", m).split()) for m in messages]


def html_paragraphs(path):
    """Texts of the paragraphs, items, cells and headings of an HTML page.
    (A tag name only starting so, such as <link>, opens one too: the text up
    to the closing tag is taken whole.)"""
    with open(path, encoding="utf-8", errors="replace") as source:
        page = re.sub(r"(?s)<(script|style|pre)[^>]*>.*?</\1>", " ", source.read())
    return [" ".join(html.unescape(re.sub(r"<[^>]+>", " ", match.group(2))).split())
            for match in re.finditer(r"(?s)<(p|li|td|h\d)[^>]*>(.*?)</\1>", page)]


def samples_of(texts):
    """Consecutive texts joined into samples of the lengths in turn."""
    sample, size, turn = [], 0, 0
    for text in texts:
        sample.append(text)
        size += len(text) + 1
        if size >= SAMPLE_LENGTHS[turn % len(SAMPLE_LENGTHS)]:
            yield " ".join(sample)
            sample, size, turn = [], 0, turn + 1
    if size >= SAMPLE_LENGTHS[0]:
        yield " ".join(sample)


ENGLISH_WORDS = {"the", "of", "and", "to", "is", "in", "for", "with", "you", "this", "that",
                 "are", "be", "by", "on", "from", "it", "an", "as", "or", "not"}


def english(text):
    """A paragraph left untranslated."""
    words = words_of(text)
    return sum(w in ENGLISH_WORDS for w in words) > sum(w in FUNCTION_WORDS for w in words)


def portuguese_prose(text):
    words = words_of(text)
    return len(words) >= 8 and sum(w in FUNCTION_WORDS for w in words) >= 2


def kind_of(key):
    if "/help/" in key:
        return "help"
    return "manual" if "/doc/" in key else "messages"


class Texts:
    """Word counts and samples of each variant, apart for learning and checking."""

    def __init__(self, validate):
        self.validate = validate
        self.uses = {"pt-PT": collections.Counter(), "pt-BR": collections.Counter()}
        # Texts in one variant only.
        self.one_variant = {"pt-PT": collections.Counter(), "pt-BR": collections.Counter()}
        # The same counts per kind of text.
        self.kinds = collections.defaultdict(
            lambda: {"pt-PT": collections.Counter(), "pt-BR": collections.Counter()})
        self.samples = {"learn": [], "check": []}

    def part(self, key):
        # Checking on other kinds of text than those learnt from tells how
        # the choice carries over to text of its own kind.
        # Half the European-only chapters stay to learn from.
        return "check" if (self.validate and kind_of(key) == "manual"
                           and (not key.startswith(EUROPEAN_FOLDER) or zlib.crc32(key.encode()) % 2)) else "learn"

    def add(self, key, code, texts, counted=True):
        part = self.part(key)
        texts = [t for t in texts if t and not english(t)]
        if part == "learn":
            for text in texts:
                words = words_of(text)
                if counted:
                    self.uses[code].update(words)
                    self.kinds[kind_of(key)][code].update(words)
                else:
                    self.one_variant[code].update(words)
        for sample in samples_of(texts):
            if portuguese_prose(sample):
                self.samples[part].append((code, sample))

    def add_pair(self, key, european, brazilian):
        """Parallel paragraphs: those left alike in both (untranslated) are skipped."""
        same = set(european) & set(brazilian)
        self.add(key, "pt-PT", [t for t in european if t not in same])
        self.add(key, "pt-BR", [t for t in brazilian if t not in same])


def read_texts(locale_dir, validate):
    texts = Texts(validate)
    pt, br = LOCALES["catalog"]
    for name in CATALOGS:
        paths = [f"{locale_dir}/{pt}/LC_MESSAGES/{name}.mo", f"{locale_dir}/{br}/LC_MESSAGES/{name}.mo"]
        if all(glob.glob(p) for p in paths):
            texts.add_pair(name, *(catalog_messages(p) for p in paths))
    for path in sorted(glob.glob(OFFICE_CATALOGS.format(locale="pt"))):
        other = path.replace("/pt/", "/pt_BR/")
        if glob.glob(other):
            texts.add_pair(path, catalog_messages(path), catalog_messages(other))
    pt, br = LOCALES["office"]
    for path in sorted(glob.glob(OFFICE_HELP.format(locale=pt))):
        other = path.replace(f"/help/{pt}/", f"/help/{br}/")
        if not glob.glob(other):
            continue
        # Both pages come from one source: paragraphs at the same place left
        # alike (untranslated) tell nothing.
        european, brazilian = html_paragraphs(path), html_paragraphs(other)
        pairs = [(e, b) for e, b in zip(european, brazilian) if e != b]
        texts.add(path, "pt-PT", [e for e, _ in pairs])
        texts.add(path, "pt-BR", [b for _, b in pairs])
    pt, br = LOCALES["edu"]
    for pattern in EDU_MANUALS:
        for path in sorted(glob.glob(pattern.format(locale=pt))):
            name = path.rsplit("/", 1)[1]
            other = glob.glob(pattern.format(locale=br).rsplit("/", 1)[0] + "/" + name)
            if other:
                texts.add_pair(path, html_paragraphs(path),
                               html_paragraphs(other[0]))
    for path in sorted(glob.glob(EUROPEAN_TEXTS)):
        texts.add(path, "pt-PT", html_paragraphs(path), counted=False)
    return texts


# European spellings of Brazilian ones: acute for circumflex before m/n, and
# the consonants European Portuguese keeps (contato/contacto, fato/facto).
def european_variants(word):
    variants = {word.replace("ô", "ó"), word.replace("ê", "é")}
    for match in re.finditer(r"(?<=[aeiouáéíóú])(?=[tç])", word):
        i = match.start()
        variants.add(word[:i] + "c" + word[i:])
        variants.add(word[:i] + "p" + word[i:])
    variants.discard(word)
    return variants


def brazilian_variants(word):
    variants = {word.replace("ó", "ô"), word.replace("é", "ê")}
    variants.add(re.sub(r"(?<=[aeiouáéíóú])[cp](?=[tç])", "", word))
    variants.discard(word)
    return variants


def spelling_states(words, european, brazilian):
    """+1 for spellings only Portugal uses, -1 for those only Brazil uses."""
    states = {}
    for word in words:
        in_pt, in_br = word in european, word in brazilian
        if in_br and not in_pt:
            states[word] = -1
            for variant in european_variants(word):
                if variant in european and variant not in brazilian:
                    states.setdefault(variant, 1)
        elif in_pt and not in_br and any(
                b in brazilian and b not in european for b in brazilian_variants(word)):
            states[word] = 1
        else:
            states.setdefault(word, 0)
    return states


def leaning(word, uses, totals):
    """Smoothed log-odds of the word in European over Brazilian texts."""
    pt, br = uses["pt-PT"][word], uses["pt-BR"][word]
    return math.log((pt + SMOOTHING) / totals["pt-PT"]) - math.log((br + SMOOTHING) / totals["pt-BR"])


class Samples:
    """Paragraph samples as weighted word lengths, with an index by word."""

    def __init__(self, samples):
        self.label = [1 if code == "pt-PT" else -1 for code, _ in samples]
        count = collections.Counter(self.label)
        # Both variants weigh the same in all.
        self.weight = [len(samples) / (2 * count[y]) for y in self.label]
        self.index = collections.defaultdict(list)
        for i, (_, text) in enumerate(samples):
            for word, n in collections.Counter(words_of(text)).items():
                self.index[word].append((i, n * len(word)))
        self.score = [0] * len(samples)

    def set(self, states):
        self.score = [0] * len(self.label)
        for word, state in states.items():
            if state:
                for i, x in self.index.get(word, ()):
                    self.score[i] += state * x

    def right(self, i, score):
        return score > 0 if self.label[i] > 0 else score <= 0

    def accuracy(self):
        right = collections.Counter()
        total = collections.Counter()
        for i, y in enumerate(self.label):
            total[y] += 1
            right[y] += self.right(i, self.score[i])
        return {("pt-PT" if y > 0 else "pt-BR"): right[y] / total[y] for y in total}

    def losses(self, word, state, choices):
        """Weighted logistic loss of the samples holding the word for each
        choice of its state; a sample's margin is its score past the tie,
        which goes to Brazil."""
        result = dict.fromkeys(choices, 0.0)
        for i, x in self.index.get(word, ()):
            base = self.score[i] - state * x - 0.5
            for choice in choices:
                margin = self.label[i] * (base + choice * x) / SOFTNESS
                result[choice] += self.weight[i] * (
                    math.log1p(math.exp(-margin)) if margin > -30 else -margin)
        return result

    def move(self, word, old, new):
        for i, x in self.index.get(word, ()):
            self.score[i] += (new - old) * x


def learn(states, fixed, allowed, samples, order):
    for _ in range(PASSES):
        changed = 0
        for word in order:
            state = states.get(word, 0)
            choices = allowed[word]
            if len(choices) < 2:
                continue
            loss = samples.losses(word, state, choices)
            cost = {c: loss[c] + (0 if c == fixed.get(word, 0) else PENALTY) for c in choices}
            best = min(choices, key=lambda c: (cost[c], c != state))
            if best != state:
                samples.move(word, state, best)
                states[word] = best
                changed += 1
        print(f"pass: {changed} changed, {samples.accuracy()}", file=sys.stderr)
        if not changed:
            break
    return states


def dedupe(words):
    return list(dict.fromkeys(words))


def make_lists(common, european, brazilian, fits, locale_dir="/usr/share/locale", validate=None):
    """The Brazilian and the European list from common Portuguese words, most
    common first. `fits` tells whether a word may go into a list at all."""
    texts = read_texts(locale_dir, validate is not None)
    brazil, portugal, check = choose(common, european, brazilian, fits, texts)
    if validate:
        print(f"checked on {len(texts.samples['check'])} samples: {check}", file=sys.stderr)
        with open(validate, "w", encoding="utf-8") as out:
            out.writelines(f"{code}\t{text}\n" for code, text in texts.samples["check"])
    return brazil, portugal


def choose(common, european, brazilian, fits, texts):
    uses = texts.uses
    if not uses["pt-PT"] or not uses["pt-BR"]:
        sys.exit("the texts translated into both Portuguese variants are needed")
    totals = {code: sum(c.values()) for code, c in uses.items()}
    kinds = texts.kinds
    kind_totals = {name: {code: sum(c.values()) + 1 for code, c in kind.items()}
                   for name, kind in kinds.items()}
    states = spelling_states(common, european, brazilian)
    # A word one dictionary lacks is the other variant's when its texts use
    # it and the other's hardly do. European texts written before the 1990
    # spelling agreement keep c and p before t and ç ("actual", "acção",
    # "óptimo"): the dictionary has only the new spellings, the European
    # translations have both.
    older = texts.one_variant["pt-PT"] + uses["pt-PT"]
    for word, n in sorted(older.items()):
        if (n >= OLDER_USES and word not in brazilian and uses["pt-BR"][word] * SPELLING_RATIO <= n
                and (word in european or any(b in brazilian for b in brazilian_variants(word)))):
            states.setdefault(word, 1)
    for word, n in sorted(uses["pt-BR"].items()):
        if (n >= OLDER_USES and word in brazilian and word not in european
                and older[word] * SPELLING_RATIO <= n):
            states.setdefault(word, -1)
    known = european | brazilian
    words = dedupe(list(states) + sorted(
        (w for w in uses["pt-PT"] + uses["pt-BR"]
         if w in known or any(v in known for v in brazilian_variants(w))),
        key=lambda w: (-(uses["pt-PT"][w] + uses["pt-BR"][w]), w)))
    allowed = {}
    rank = {w: r for r, w in enumerate(common)}
    frequent = {w for w, _ in (uses["pt-PT"] + uses["pt-BR"]).most_common(FREQUENT)}
    for word in words:
        if not fits(word):
            continue
        choices = {0, states.get(word, 0)}
        if uses["pt-PT"][word] + uses["pt-BR"][word] >= LEAST_USES:
            lean = leaning(word, uses, totals)
            # Each kind of text that uses the word must lean the same way.
            leans = [leaning(word, kind, kind_totals[name]) for name, kind in kinds.items()
                     if kind["pt-PT"][word] + kind["pt-BR"][word] >= LEAST_USES]
            if lean >= LEANING and all(k >= KIND_LEANING for k in leans) and (
                    len(leans) >= KINDS or lean >= SURE_LEANING) and (
                    rank.get(word, BRAZILIAN_COMMON) >= BRAZILIAN_COMMON):
                choices.add(1)
                if lean >= MARKER_LEANING:
                    states[word] = 1
            elif (word in frequent and all(k > 0 for k in leans) and lean > 0
                  and rank.get(word, BRAZILIAN_COMMON) >= BRAZILIAN_COMMON):
                # A frequent word a little more European may keep a text
                # without markers from going to Brazil by default.
                choices.add(1)
            if lean <= -LEANING and all(k <= -KIND_LEANING for k in leans) and (
                    len(leans) >= KINDS or lean <= -SURE_LEANING):
                choices.add(-1)
                if lean <= -MARKER_LEANING:
                    states[word] = -1
        allowed[word] = sorted(choices)
    samples = Samples(texts.samples["learn"])
    samples.set(states)
    print(f"samples right with spellings and markers: {samples.accuracy()}", file=sys.stderr)
    order = sorted(allowed, key=lambda w: -len(samples.index.get(w, ())))
    learn(states, dict(states), allowed, samples, order)
    print(f"samples right after learning: {samples.accuracy()}", file=sys.stderr)
    check = None
    if texts.samples["check"]:
        check = Samples(texts.samples["check"])
        check.set(states)
        check = check.accuracy()
    common_set = set(common)
    extra = sorted((w for w, s in states.items() if s and w not in common_set and w in allowed),
                   key=lambda w: (-(uses["pt-PT"][w] + uses["pt-BR"][w] + older[w]), w))
    ordered = [w for w in common if w in allowed] + extra
    brazil = [w for w in ordered if states.get(w, 0) <= 0 and (w in common_set or states[w] < 0)]
    portugal = [w for w in ordered if states.get(w, 0) >= 0 and (w in common_set or states[w] > 0)]
    return brazil, portugal, check
