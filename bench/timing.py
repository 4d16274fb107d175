"""Timing shared by the benchmark scripts.

Every contender is calibrated to a batch of about `budget` seconds, then all
of them run round by round, interleaved (the order alternating each round),
so that a noisy neighbour slows them alike. The best batch gives the time per
call; the per-round times allow paired ratios, which cancel most of the drift
of a busy machine.
"""

from __future__ import annotations

import sys
import time


def calibrate(function, argument, budget):
    """Number of calls that takes about `budget` seconds."""
    loops = 1
    while True:
        start = time.perf_counter()
        for _ in range(loops):
            function(argument)
        elapsed = time.perf_counter() - start
        if elapsed >= budget / 4 or loops >= 1 << 20:
            return max(1, int(loops * budget / max(elapsed, 1e-9)))
        loops *= 4


def interleaved(contenders, rounds, budget):
    """Times (label, function, argument) contenders against each other.

    Returns ({label: best seconds per call}, {label: [seconds per call in each
    round]}). A contender that raises on its argument is reported on stderr
    and left out.
    """
    plan = []
    for label, function, argument in contenders:
        try:
            function(argument)
        except Exception as error:  # a peer that cannot handle this document
            print(f"  {label}: {type(error).__name__}: {error}", file=sys.stderr)
            continue
        plan.append((label, function, argument, calibrate(function, argument, budget), []))
    for round_number in range(rounds):
        for label, function, argument, loops, per_round in plan if round_number % 2 == 0 else plan[::-1]:
            start = time.perf_counter()
            for _ in range(loops):
                function(argument)
            per_round.append((time.perf_counter() - start) / loops)
    return {entry[0]: min(entry[4]) for entry in plan}, {entry[0]: entry[4] for entry in plan}
