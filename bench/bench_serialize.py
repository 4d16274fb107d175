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
- Each figure is the best of several repeats of a batch that takes at least
  about 0.2 s, so a busy machine inflates figures less than it would a mean.

The peers live in a separate virtual environment:
    python -m venv .venv-bench
    .venv-bench/bin/pip install . tomli_w toml pytomlpp orjson
    .venv-bench/bin/python bench/bench_serialize.py [--repeat N] [--shared DIR]
"""

import argparse
import json
import os
import pathlib
import sys
import time
import tomllib

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


def best_time(fn, obj, repeat):
    """Seconds per call: the best of `repeat` batches of at least ~0.2 s."""
    fn(obj)
    number = 1
    while True:
        start = time.perf_counter()
        for _ in range(number):
            fn(obj)
        elapsed = time.perf_counter() - start
        if elapsed >= 0.2:
            break
        number *= 2 if elapsed < 0.05 else 4
    best = elapsed / number
    for _ in range(repeat - 1):
        start = time.perf_counter()
        for _ in range(number):
            fn(obj)
        best = min(best, (time.perf_counter() - start) / number)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeat", type=int, default=5)
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
        times = {}
        for name, fn in contenders:
            try:
                times[name] = best_time(fn, obj, args.repeat)
            except Exception as exc:  # a peer that cannot write this document
                times[name] = f"fails ({type(exc).__name__})"
        rows.append((path.name, len(_vexil.serialize(obj)), times))

    print(f"Python {sys.version.split()[0]}, best of {args.repeat}; time per call, "
          "then each contender's time as a multiple of vexil serialize's")
    print()
    header = ["document", "TOML bytes"] + [name for name, _ in contenders]
    print("| " + " | ".join(header) + " |")
    print("|" + "---|" * len(header))
    for name, size, times in rows:
        base = times["serialize"]
        cells = [name, f"{size:,}"]
        for contender, _ in contenders:
            t = times[contender]
            if isinstance(t, str):
                cells.append(t)
            elif contender == "serialize":
                cells.append(f"{t * 1e3:.3f} ms")
            else:
                cells.append(f"{t * 1e3:.3f} ms ({t / base:.2f}x)")
        print("| " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()
