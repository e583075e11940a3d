#!/usr/bin/env python3
"""Fits the matcher's score knots (kScoreKnots in sdk/minutiae_matcher.cpp).

Input: the file `extract_match_bench --raw FILE` writes (one comparison per
line: set, genuine 0/1, raw similarity, ...). Every set's impostor
Knot d (scores 6, 10, 14 for d = 1, 2, 3) is the highest of the sets' raw
values above which a share 10^-d of that set's impostors lies, so that no
set exceeds the nominal rate; the knots for d = 4 and 5, where there are too
few impostors to count, follow at the spacing per decade of a straight line
fitted to log10 of the share over the tail beyond 1 % of all the sets'
impostors pooled (each set counting equally). Prints the knots and, per set, the measured false match
rate at each knot.

Usage: scripts/fit-score-knots.py RAW_FILE
"""
import math
import sys


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    impostors = {}
    for line in open(sys.argv[1]):
        f = line.split()
        if len(f) >= 3 and f[1] == "0":
            impostors.setdefault(f[0], []).append(float(f[2]))
    if not impostors:
        sys.exit("no impostor comparisons in " + sys.argv[1])
    def tail_of(weighted):
        # (value, share of the impostors at or above it), highest first
        out, share = [], 0.0
        for v, w in sorted(weighted, reverse=True):
            share += w
            out.append((v, share))
        return out

    def above(tail, rate):
        # The lowest raw value that a share of at most `rate` exceeds.
        for v, s in tail:
            if s > rate:
                return v + 1e-4
        return tail[-1][0]

    tails = {name: tail_of([(v, 1.0 / len(values)) for v in values])
             for name, values in impostors.items()}
    pooled = tail_of([(v, 1.0 / (len(values) * len(impostors)))
                      for values in impostors.values() for v in values])
    # Each knot is where the set that reaches it most often does so at the
    # nominal rate: no reader exceeds it.
    knots = [max(above(t, 10.0**-d) for t in tails.values()) for d in (1, 2, 3)]
    xs = [v for v, s in pooled if s <= 0.01 and v > 0]
    ys = [math.log10(s) for v, s in pooled if s <= 0.01 and v > 0]
    n = len(xs)
    mx, my = sum(xs) / n, sum(ys) / n
    slope = sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / sum((x - mx) ** 2 for x in xs)
    for d in (4, 5):
        knots.append(knots[2] + (d - 3) / -slope)
    print("constexpr float kScoreKnots[] = {" + ", ".join("%.4ff" % k for k in knots) + "};")
    print("\nfalse match rate at each knot (score 6, 10, 14, 18, 22):")
    for name, values in sorted(impostors.items()):
        rates = ["%.3f %%" % (100.0 * sum(v >= k for v in values) / len(values)) for k in knots]
        print("  %-6s %s" % (name, "  ".join(rates)))


if __name__ == "__main__":
    main()
