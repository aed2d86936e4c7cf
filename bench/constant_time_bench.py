"""Whether the time of compare_hashes tells digests apart by their contents,
with str == as the contrast: a leakage test in the manner of dudect.

    .venv/bin/python bench/constant_time_bench.py            # about half a minute
    .venv/bin/python bench/constant_time_bench.py --quick    # a few seconds

A digest is compared with inputs of two classes, in three pairs of classes:
an equal digest (another object with the same text) against one that differs
in its first character; one differing in the first character against one
differing in the last, where the answer is the same and only the place of the
difference could show; and the equal digest against itself, which shows how
large |t| gets when nothing differs at all. Each measurement times a short
batch of calls on one class, chosen at random, with time.perf_counter_ns;
compare_hashes and operator.eq (the same kind of call, a builtin taking two
arguments) are measured side by side in random order, so that both see the
same machine. Welch's t-statistic between the two classes' timings is printed
for all measurements and for those below a few percentiles of them (dudect's
crops, which drop the long tail that interruptions add). |t| above about 4.5
means the classes are told apart by time; a comparison that leaks grows its
|t| with the number of measurements.

Rounds are repeated; nothing fails on a number.
"""

import argparse
import hashlib
import math
import operator
import random
import time

import driftmoor

PERCENTILES = (50, 90, 99)
PAIRS = (
    ("equal", "first differs"),
    # Where the texts differ, with the same result: what must not show.
    ("first differs", "last differs"),
    # The same text in both classes: how large |t| gets with no difference.
    ("equal", "equal"),
)


def welch_t(first, second):
    n1, n2 = len(first), len(second)
    if n1 < 2 or n2 < 2:
        return float("nan")
    m1, m2 = sum(first) / n1, sum(second) / n2
    v1 = sum((x - m1) ** 2 for x in first) / (n1 - 1)
    v2 = sum((x - m2) ** 2 for x in second) / (n2 - 1)
    if v1 + v2 == 0:
        return 0.0
    return (m1 - m2) / math.sqrt(v1 / n1 + v2 / n2)


def t_statistics(timings):
    """t for all measurements and for each crop below a percentile of the
    pooled timings."""
    pooled = sorted(timings[0] + timings[1])
    rows = [("all", welch_t(timings[0], timings[1]))]
    for percentile in PERCENTILES:
        limit = pooled[min(len(pooled) - 1, len(pooled) * percentile // 100)]
        rows.append(
            (f"< p{percentile}", welch_t([x for x in timings[0] if x < limit],
                                         [x for x in timings[1] if x < limit]))
        )
    return rows


def measure(digest, variants, measurements, batch):
    """Timings of each subject for the two classes (lists of characters),
    measured in random order. Before each timed batch the input is made anew
    by one expression whatever its class, so it lands in the block the last
    one freed: both classes are read from the same address (where the data
    falls in the cache lines changes a load's cost). The other class's input
    is made too and dropped, so the code and the memory touched before the
    timer starts are the same for both."""
    subjects = {"compare_hashes": driftmoor.compare_hashes, "str ==": operator.eq}
    repeat = range(batch)
    clock = time.perf_counter_ns
    classes = [random.getrandbits(1) for _ in range(measurements)]
    orders = [random.getrandbits(1) for _ in range(measurements)]
    names = list(subjects)
    functions = [subjects[name] for name in names]
    # Filled by position, so that where a time is stored does not depend on
    # its class either; sorted into classes afterwards.
    elapsed = [[0] * measurements for _ in names]
    join = "".join
    for i in range(measurements):
        input_class = classes[i]
        other, unused = join(variants[input_class]), join(variants[1 - input_class])
        del unused
        for subject in (0, 1) if orders[i] else (1, 0):
            function = functions[subject]
            start = clock()
            for _ in repeat:
                function(digest, other)
            elapsed[subject][i] = clock() - start
        del other
    timings = {}
    for subject, name in enumerate(names):
        timings[name] = tuple(
            [t for t, c in zip(elapsed[subject], classes) if c == wanted] for wanted in (0, 1)
        )
    return timings


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="few measurements, one round")
    parser.add_argument("--measurements", type=int, help="per round (default 400000)")
    parser.add_argument("--batch", type=int, default=8, help="calls timed together (default 8)")
    parser.add_argument("--rounds", type=int, help="default 3")
    args = parser.parse_args()
    measurements = args.measurements or (40_000 if args.quick else 400_000)
    rounds = args.rounds or (1 if args.quick else 3)

    digest = hashlib.sha256(b"driftmoor").hexdigest()
    flip = {"0": "1"}
    variants = {
        "equal": list(digest),
        "first differs": [flip.get(digest[0], "0"), *digest[1:]],
        "last differs": [*digest[:-1], flip.get(digest[-1], "0")],
    }
    print(f"{measurements} measurements of {args.batch} calls per round and pair;"
          " median ns per call for each class")
    for round_number in range(1, rounds + 1):
        print(f"\nround {round_number}")
        for pair in PAIRS:
            print(f"  {pair[0]} / {pair[1]}")
            timings = measure(digest, [variants[pair[0]], variants[pair[1]]], measurements,
                              args.batch)
            for name, classes in timings.items():
                per_call = [sorted(t)[len(t) // 2] / args.batch for t in classes]
                t_rows = t_statistics(classes)
                shown = "  ".join(f"t[{crop}] {t:+7.2f}" for crop, t in t_rows)
                worst = max(abs(t) for _, t in t_rows)
                verdict = "DISTINGUISHABLE" if worst > 4.5 else "not told apart"
                print(f"    {name:15} {per_call[0]:5.1f} / {per_call[1]:5.1f}  {shown}"
                      f"  max |t| {worst:6.2f} {verdict}")


if __name__ == "__main__":
    main()
