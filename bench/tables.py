"""The README's benchmark tables: the reading and writing benchmarks run
several times over, each run interleaving all contenders (bench/timing.py),
and every figure given as the median over the runs with its spread.

    .venv-bench/bin/python bench/tables.py [--runs 3] [--rounds 20] [--budget 0.02]

Reading: vexil's deserialize against tomllib, tomli, pytomlpp, and json /
orjson reading the JSON twins. Writing: serialize against serialize_pretty,
tomli_w, toml, pytomlpp, json.dumps and orjson.dumps of the same objects.
Ratios are peer time / vexil time (above 1: vexil is faster), computed per
run and then summarised, so that a slow stretch of a busy machine shifts
both sides of a ratio alike.
"""

from __future__ import annotations

import argparse
import pathlib
import platform
import statistics
import sys
import tomllib

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import bench_deserialize  # noqa: E402
import bench_serialize  # noqa: E402
from timing import interleaved  # noqa: E402

from vexil import _vexil  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent


def summary(values, digits):
    """median (min–max) of a list of numbers."""
    median = statistics.median(values)
    if len(values) == 1:
        return f"{median:.{digits}f}"
    return f"{median:.{digits}f} ({min(values):.{digits}f}–{max(values):.{digits}f})"


def table(title, rows, labels, base):
    """Markdown: one row per document, the base's time then each peer's ratio."""
    print(f"\n{title}\n")
    print("| document | " + " | ".join([f"{base} ms"] + [f"{label} ×" for label in labels]) + " |")
    print("|---|" + "---|" * (len(labels) + 1))
    for name, runs in rows.items():
        cells = [summary([run[base] * 1e3 for run in runs], 3)]
        for label in labels:
            ratios = [run[label] / run[base] for run in runs if label in run]
            cells.append(summary(ratios, 2) if ratios else "–")
        print(f"| {name} | " + " | ".join(cells) + " |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--shared", type=pathlib.Path, default=ROOT.parent / "shared")
    parser.add_argument("--runs", type=int, default=3, help="runs of each benchmark (default 3)")
    parser.add_argument("--rounds", type=int, default=20, help="interleaved rounds per run (default 20)")
    parser.add_argument("--budget", type=float, default=0.02, help="seconds per round and contender")
    args = parser.parse_args()

    paths = sorted((args.shared / "bench").glob("*.toml"))
    readers = [label for label, _, _ in bench_deserialize.readers()]
    writers = [("serialize", _vexil.serialize), ("serialize_pretty", _vexil.serialize_pretty)]
    writers += bench_serialize.peers()
    reading, writing = {}, {}
    for run in range(args.runs):
        print(f"run {run + 1} of {args.runs}", file=sys.stderr)
        for path in paths:
            document = path.read_text(encoding="utf-8")
            twin_path = path.with_suffix(".json")
            twin = twin_path.read_text(encoding="utf-8") if twin_path.exists() else None
            best, _ = bench_deserialize.measure(document, twin, args.rounds, args.budget)
            reading.setdefault(path.name, []).append(best)
            with open(path, "rb") as f:
                obj = tomllib.load(f)
            best, _ = interleaved([(name, fn, obj) for name, fn in writers], args.rounds, args.budget)
            writing.setdefault(path.stem, []).append(best)

    print(f"{bench_deserialize.describe_peers()}; {platform.machine()}; "
          f"median (min–max) of {args.runs} runs, each the best of {args.rounds} interleaved rounds")
    table("Reading (ratios: peer time / vexil deserialize time)", reading,
          [label for label in readers if label != "vexil"], "vexil")
    table("Writing (ratios: peer time / vexil serialize time)", writing,
          [name for name, _ in writers if name != "serialize"], "serialize")


if __name__ == "__main__":
    main()
