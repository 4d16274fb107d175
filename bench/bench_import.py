"""Import benchmark: the wall-clock cost of `import vexil` over a bare
interpreter start, with tomllib and json started the same way for scale.

    python bench/bench_import.py [--rounds N] [--python PATH]

Each round starts one fresh interpreter per contender, in alternating order,
so that a noisy neighbour hurts them alike; the table shows each one's best
and median time and its best and median excess over `python -c pass`
(measured in the same rounds). `python -X importtime -c "import vexil"`
shows where the time goes, module by module.
"""

from __future__ import annotations

import argparse
import statistics
import subprocess
import sys
import time

CONTENDERS = {
    "pass": "pass",
    "import vexil": "import vexil",
    "import tomllib": "import tomllib",
    "import json": "import json",
}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=40)
    parser.add_argument("--python", default=sys.executable, help="the interpreter to start (default: this one)")
    args = parser.parse_args()

    times: dict[str, list[float]] = {label: [] for label in CONTENDERS}
    order = list(CONTENDERS.items())
    for round_number in range(args.rounds):
        for label, code in order if round_number % 2 == 0 else reversed(order):
            start = time.perf_counter()
            subprocess.run([args.python, "-c", code], check=True)
            times[label].append(time.perf_counter() - start)

    bare = times["pass"]
    print(f"{args.python}: {args.rounds} interleaved rounds, milliseconds")
    print("| contender | best | median | best - pass | median of (run - pass) |")
    print("|---|---|---|---|---|")
    for label, runs in times.items():
        excess = [run - base for run, base in zip(runs, bare)]
        print(
            f"| {label} | {min(runs) * 1e3:.2f} | {statistics.median(runs) * 1e3:.2f} "
            f"| {(min(runs) - min(bare)) * 1e3:+.2f} | {statistics.median(excess) * 1e3:+.2f} |"
        )


if __name__ == "__main__":
    main()
