#!/usr/bin/env python3
"""How far word evidence alone tells the Portuguese variants apart.

    portuguese_bayes.py SAMPLES.tsv...

Learns from the same texts translated into both variants that the word lists
are made from (engine/language/tools/portuguese.py), but gives every word
its own real weight, its smoothed log-odds, as a naive Bayes classifier does.
The word lists can only hold a word in one list, the other or both, so this
is about the best they could do on the samples: it prints, per file and
variant, the share of samples the classifier gets right.
"""
import collections
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "../../engine/language/tools"))
import portuguese  # noqa: E402


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__.splitlines()[2].strip())
    uses = portuguese.read_texts("/usr/share/locale", False).uses
    totals = {code: sum(counts.values()) for code, counts in uses.items()}

    for path in sys.argv[1:]:
        right, samples = collections.Counter(), collections.Counter()
        with open(path, encoding="utf-8") as source:
            for line in source:
                code, _, text = line.rstrip("\n").partition("\t")
                if not code.startswith("pt-"):
                    continue
                score = sum(portuguese.leaning(w, uses, totals) for w in portuguese.words_of(text)
                            if uses["pt-PT"][w] or uses["pt-BR"][w])
                samples[code] += 1
                right[code] += (score > 0) == (code == "pt-PT")
        print(path, " ".join(f"{code} {100 * right[code] / n:.1f}% of {n}"
                             for code, n in sorted(samples.items())))


if __name__ == "__main__":
    main()
