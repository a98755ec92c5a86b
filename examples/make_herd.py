#!/usr/bin/env python3
"""Generates the bundled herd example: three traits, five generations.

Traits: average daily gain (g/d), backfat thickness (mm) and number born
alive. Founders are unrelated; every later generation descends from
animals of the two generations before it, with some matings of relatives so
that the pedigree carries inbreeding. Gain and backfat are recorded on most
animals, litter size only on sows that have farrowed. The youngest
generation are the candidates: boars in group 1, gilts in group 2.

Run from this folder: python3 make_herd.py herd
"""
import random
import sys
from pathlib import Path

PARAMETERS = """20,3600,1260,17.9,6.9
-0.5,6.25,17.9,2.8125,0
0.3,9,0,-0.16,0.9
"""


def main(out: Path) -> None:
    rng = random.Random(20261210)
    animals = []  # (sire, dam, sex, generation)
    for i in range(40):
        animals.append((0, 0, "M" if i < 10 else "F", 0))
    for gen in range(1, 6):
        pool = [k for k, a in enumerate(animals, 1) if a[3] >= gen - 2]
        sires = [k for k in pool if animals[k - 1][2] == "M"]
        dams = [k for k in pool if animals[k - 1][2] == "F"]
        sires = rng.sample(sires, min(len(sires), 8))
        dams = rng.sample(dams, min(len(dams), 24))
        for _ in range(60):
            s = rng.choice(sires)
            d = rng.choice(dams)
            if rng.random() < 0.1:
                s = 0  # sire not known
            animals.append((s, d, "M" if rng.random() < 0.5 else "F", gen))
    last = max(a[3] for a in animals)
    lines = []
    for k, (s, d, sex, gen) in enumerate(animals, 1):
        young = gen == last
        cand = 1 if young else 0
        group = 1 if sex == "M" else 2
        gain = 1 if rng.random() < (0.8 if young else 0.9) else 0
        fat = 1 if rng.random() < (0.75 if young else 0.85) else 0
        litter = 1 if (sex == "F" and not young and rng.random() < 0.8) else 0
        lines.append(f"{k},{s},{d},{cand},{group},{gain},{fat},{litter}\n")
    out.mkdir(parents=True, exist_ok=True)
    (out / "GParameter.csv").write_text(PARAMETERS)
    (out / "Pedigree&Record.csv").write_text("".join(lines))


if __name__ == "__main__":
    main(Path(sys.argv[1] if len(sys.argv) > 1 else "herd"))
