#!/usr/bin/env python3
"""Fits the matcher's score knots (kScoreKnots in sdk/minutiae_matcher.cpp).

Input: the file `extract_match_bench --raw FILE` writes (one comparison per
line: set, genuine 0/1, raw similarity, ...).
- Knot 3 (score 14, the recommended threshold) is the highest of the sets'
  raw values above which 0.1 % of that set's impostors lie: no set exceeds
  0.1 % there.
- Knots 1 and 2 (scores 6 and 10) are where the sets' rates sit closest to
  the nominal 10 % and 1 % on a ratio scale: the raw value whose worst set,
  above or below the nominal rate, strays the least. The virtual reader's
  "never" profile, whose impressions never pass a capture, is left out there.
- Knots 4 and 5 (scores 18 and 22), where there are too few impostors to
  count, follow knot 3 at the spacing per decade of a straight line fitted to
  log10 of the share over the tail beyond 1 % of all the sets' impostors
  pooled (each set counting equally).
Prints the knots and, per set, the measured false match rate at each knot.

Usage: scripts/fit-score-knots.py RAW_FILE
"""
import bisect
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
    ordered = {name: sorted(values) for name, values in impostors.items()}

    def rate(values, k):
        # values sorted: the share at or above k
        return (len(values) - bisect.bisect_left(values, k)) / len(values)

    def centred(nominal):
        # The raw value where the worst set strays least from the nominal
        # rate, by ratio either way.
        kept = [v for name, v in ordered.items() if name != "never"]
        best = None
        for k in sorted({v + 1e-4 for values in kept for v in values}):
            rates = [rate(values, k) for values in kept]
            if min(rates) <= 0:
                break
            worst = max(max(rates) / nominal, nominal / min(rates))
            if best is None or worst < best[0]:
                best = (worst, k)
        return best[1]

    knots = [centred(0.1), centred(0.01), max(above(t, 1e-3) for t in tails.values())]
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
        rates = ["%.3f %%" % (100.0 * rate(ordered[name], k)) for k in knots]
        print("  %-6s %s" % (name, "  ".join(rates)))


if __name__ == "__main__":
    main()
