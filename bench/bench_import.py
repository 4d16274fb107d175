"""Import benchmark: the wall-clock cost of `import vexil` over a bare
interpreter start, with tomllib and json started the same way for scale.

    python bench/bench_import.py [--rounds N] [--python PATH]

Each round starts one fresh interpreter per contender, in alternating order,
so that a noisy neighbour hurts them alike; the tables show each one's best
and median wall-clock time and its excess over `python -c pass` (measured in
the same rounds), then the same for the CPU time (user + system) of the
child, which a busy machine disturbs less. `python -X importtime -c "import
vexil"` shows where the time goes, module by module, and
`valgrind --tool=callgrind python -c "import vexil"` against `-c pass`
gives a repeatable instruction count.
"""

from __future__ import annotations

import argparse
import os
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

    wall: dict[str, list[float]] = {label: [] for label in CONTENDERS}
    cpu: dict[str, list[float]] = {label: [] for label in CONTENDERS}
    order = list(CONTENDERS.items())
    for round_number in range(args.rounds):
        for label, code in order if round_number % 2 == 0 else reversed(order):
            start = time.perf_counter()
            process = subprocess.Popen([args.python, "-c", code])
            _, status, usage = os.wait4(process.pid, 0)
            wall[label].append(time.perf_counter() - start)
            cpu[label].append(usage.ru_utime + usage.ru_stime)
            process.returncode = os.waitstatus_to_exitcode(status)
            if process.returncode:
                raise SystemExit(f"{code!r} failed")

    print(f"{args.python}: {args.rounds} interleaved rounds, milliseconds")
    for title, times in (("wall clock", wall), ("CPU time of the child", cpu)):
        bare = times["pass"]
        print(f"\n{title}:\n")
        print("| contender | best | median | best - best of pass | median of (run - pass of its round) |")
        print("|---|---|---|---|---|")
        for label, runs in times.items():
            excess = [run - base for run, base in zip(runs, bare)]
            print(
                f"| {label} | {min(runs) * 1e3:.2f} | {statistics.median(runs) * 1e3:.2f} "
                f"| {(min(runs) - min(bare)) * 1e3:+.2f} | {statistics.median(excess) * 1e3:+.2f} |"
            )


if __name__ == "__main__":
    main()
