"""Shared by the benchmarks: alternating best-of timing and a plain table.

The machines these run on are small and shared, so a subject and its
reference are timed in alternating rounds (the order flips every round, so
neither always runs second on a warmer or cooler machine), and each keeps its
best round: the one least disturbed by other work. Nothing here compares a
number with a target beyond printing it; benchmarks never fail.
"""

import gc
import time


def alternate(subjects, rounds, before_each=None):
    """Times each callable of `subjects` (a dict name -> callable) once per
    round, alternating; returns name -> list of seconds. `before_each`, if
    given, runs untimed before every timed call."""
    seconds = {name: [] for name in subjects}
    names = list(subjects)
    gc_was_enabled = gc.isenabled()
    gc.disable()  # a collection landing inside one round would skew it
    try:
        for round_number in range(rounds):
            for name in names if round_number % 2 == 0 else names[::-1]:
                if before_each is not None:
                    before_each()
                start = time.perf_counter()
                subjects[name]()
                seconds[name].append(time.perf_counter() - start)
    finally:
        if gc_was_enabled:
            gc.enable()
    return seconds


def print_table(header, rows):
    widths = [max(len(str(row[i])) for row in [header, *rows]) for i in range(len(header))]
    for row in [header, ["-" * w for w in widths], *rows]:
        print("  ".join(str(cell).ljust(w) for cell, w in zip(row, widths)).rstrip())


def verdict(ratio, target):
    return f">= {target}x {'met' if ratio >= target else 'BELOW'}"
