"""Writes a fuzz target's seed corpus: one file per named seed in fuzz/corpus/<target>/."""

import os

CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "corpus")


def write_seeds(target, seeds):
    out = os.path.join(CORPUS, target)
    os.makedirs(out, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
    print(f"wrote {len(seeds)} seeds to {os.path.normpath(out)}")
