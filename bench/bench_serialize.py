"""Benchmark of vexil's writing path against other writers (a script, not a test).

For every benchmark document in ../shared/bench/*.toml (loaded once with
tomllib), times in one run:

    vexil serialize, vexil serialize_pretty,
    tomli_w.dumps, toml.dumps, pytomlpp.dumps   (TOML writers)
    json.dumps, orjson.dumps                    (the floor: JSON of the same objects)

and prints the time per call and each peer's time as a multiple of vexil
serialize's (so 12.0x means the peer takes twelve times as long).

Notes on fairness:
- json.dumps runs with its defaults (ensure_ascii=True) plus default=str,
  because the documents hold datetime values that json cannot write;
  orjson writes datetimes natively. orjson refuses integers beyond 64 bits;
  such a document shows "fails" for it, as for any peer that raises.
- All writers run round by round, interleaved (bench/timing.py); each figure
  is the best round, and the targets also give the median of per-round
  ratios, which a busy machine disturbs less.

The peers live in a separate virtual environment:
    python -m venv .venv-bench
    .venv-bench/bin/pip install . tomli_w toml pytomlpp orjson
    .venv-bench/bin/python bench/bench_serialize.py [--rounds N] [--budget S] [--shared DIR]
"""

import argparse
import json
import os
import pathlib
import statistics
import sys
import tomllib

from timing import interleaved
from vexil import _vexil

ROOT = pathlib.Path(__file__).resolve().parent.parent


def peers():
    """(name, dumps) for every peer that is installed."""
    found = []
    for name, module, attr in [("tomli_w", "tomli_w", "dumps"), ("toml", "toml", "dumps"),
                               ("pytomlpp", "pytomlpp", "dumps")]:
        try:
            found.append((name, getattr(__import__(module), attr)))
        except ImportError:
            print(f"note: {name} is not installed; its column is empty", file=sys.stderr)
    found.append(("json", lambda obj: json.dumps(obj, default=str)))
    try:
        import orjson

        found.append(("orjson", orjson.dumps))
    except ImportError:
        print("note: orjson is not installed; its column is empty", file=sys.stderr)
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rounds", type=int, default=20, help="timed rounds per writer (default 20)")
    parser.add_argument("--budget", type=float, default=0.02, help="seconds per round and writer (default 0.02)")
    parser.add_argument("--shared", type=pathlib.Path,
                        default=pathlib.Path(os.environ.get("VEXIL_SHARED", ROOT.parent / "shared")))
    args = parser.parse_args()

    files = sorted((args.shared / "bench").glob("*.toml"))
    if not files:
        sys.exit(f"no benchmark documents in {args.shared / 'bench'}")
    contenders = [("serialize", _vexil.serialize), ("serialize_pretty", _vexil.serialize_pretty)] + peers()

    rows = []
    for path in files:
        with open(path, "rb") as f:
            obj = tomllib.load(f)
        best, per_round = interleaved([(name, fn, obj) for name, fn in contenders], args.rounds, args.budget)
        rows.append((path.name, len(_vexil.serialize(obj)), best, per_round))

    print(f"Python {sys.version.split()[0]}, best of {args.rounds} interleaved rounds; time per call, "
          "then each contender's time as a multiple of vexil serialize's")
    print()
    header = ["document", "TOML bytes"] + [name for name, _ in contenders]
    print("| " + " | ".join(header) + " |")
    print("|" + "---|" * len(header))
    for name, size, times, _ in rows:
        base = times["serialize"]
        cells = [name, f"{size:,}"]
        for contender, _ in contenders:
            t = times.get(contender)
            if t is None:
                cells.append("fails")
            elif contender == "serialize":
                cells.append(f"{t * 1e3:.3f} ms")
            else:
                cells.append(f"{t * 1e3:.3f} ms ({t / base:.2f}x)")
        print("| " + " | ".join(cells) + " |")

    print("\nTargets (serialize no slower than json.dumps, at least 10x faster than tomli_w.dumps):")
    for name, _, times, per_round in rows:
        if not name.startswith(("twitter", "citm_catalog")):
            continue
        for peer, floor in (("json", 1.0), ("tomli_w", 10.0)):
            if peer not in times:
                continue
            ratio = times[peer] / times["serialize"]
            paired = statistics.median(p / v for v, p in zip(per_round["serialize"], per_round[peer]))
            verdict = "met" if ratio >= floor else "MISSED"
            print(f"  {name}: {peer} / serialize = {ratio:.2f} (at least {floor:g}): {verdict}; "
                  f"median of per-round ratios {paired:.2f}")


if __name__ == "__main__":
    main()
