"""Reading benchmark: vexil's deserialize against other TOML readers, and
against json.loads / orjson.loads of the JSON twins (the floor for building
the same Python objects), all measured in one run.

Run from a virtual environment that has vexil and the peers installed:

    python -m venv .venv-bench
    .venv-bench/bin/pip install . tomli pytomlpp orjson
    .venv-bench/bin/python bench/bench_deserialize.py

Peers that are not installed are left out. Times are the best of several
rounds (each round long enough to be timed reliably); the measurements of
all readers are interleaved round by round, in alternating order, so that a
noisy neighbour hurts them alike. Ratios are peer time / vexil time: above 1
means vexil is faster. The targets also show the median of the per-round
ratios, which holds up better than the best times on a busy machine.
"""

from __future__ import annotations

import argparse
import importlib
import importlib.metadata
import json
import pathlib
import platform
import statistics
import sys

from timing import interleaved
from vexil import _vexil

ROOT = pathlib.Path(__file__).resolve().parent.parent


def optional(name):
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


def readers():
    """(label, function, wants the JSON twin) for every available reader."""
    found = [("vexil", _vexil.deserialize, False)]
    for label, module, attribute in [("tomllib", "tomllib", "loads"), ("tomli", "tomli", "loads"),
                                     ("pytomlpp", "pytomlpp", "loads")]:
        if (mod := optional(module)) is not None:
            found.append((label, getattr(mod, attribute), False))
    found.append(("json", json.loads, True))
    if (orjson := optional("orjson")) is not None:
        found.append(("orjson", orjson.loads, True))
    return found


def measure(document, twin, rounds, budget):
    """Best time per call, in seconds, of each reader on one document, and
    each reader's time per call in every round (for paired comparisons)."""
    contenders = [(label, function, twin if wants_twin else document)
                  for label, function, wants_twin in readers() if not (wants_twin and twin is None)]
    return interleaved(contenders, rounds, budget)


def describe_peers():
    parts = [f"Python {platform.python_version()}"]
    for name in ("tomli", "pytomlpp", "orjson"):
        if (mod := optional(name)) is not None:
            try:
                version = importlib.metadata.version(name)
            except importlib.metadata.PackageNotFoundError:
                version = getattr(mod, "__version__", "?")
            if name == "tomli":
                parser = optional("tomli._parser")
                compiled = parser is not None and str(getattr(parser, "__file__", "")).endswith((".so", ".pyd"))
                version += " (compiled)" if compiled else " (pure Python)"
            parts.append(f"{name} {version}")
    return ", ".join(parts)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--shared", type=pathlib.Path, default=ROOT.parent / "shared",
                        help="the shared folder holding bench/ (default: ../shared)")
    parser.add_argument("--rounds", type=int, default=40, help="timed rounds per reader (default 40)")
    parser.add_argument("--budget", type=float, default=0.02, help="seconds per round and reader (default 0.02)")
    args = parser.parse_args()

    bench = args.shared / "bench"
    paths = sorted(bench.glob("*.toml"))
    if not paths:
        sys.exit(f"no benchmark documents in {bench}")
    print(describe_peers())
    results = {}
    for path in paths:
        document = path.read_text(encoding="utf-8")
        twin_path = path.with_suffix(".json")
        twin = twin_path.read_text(encoding="utf-8") if twin_path.exists() else None
        if twin is not None:
            assert _vexil.deserialize(document) == json.loads(twin), f"{path.name} and its JSON twin differ"
        best, per_round = measure(document, twin, args.rounds, args.budget)
        results[path.name] = (len(document.encode("utf-8")), best, per_round)

    labels = [label for label, _, _ in readers()]
    header = f"| {'document':<18} | {'KB':>6} | " + " | ".join(f"{label + ' ms':>12}" for label in labels)
    header += " | " + " | ".join(f"{label + ' ×':>11}" for label in labels[1:]) + " |"
    print()
    print(header)
    print("|" + "|".join("-" * len(cell) for cell in header[1:-1].split("|")) + "|")
    for name, (size, times, _) in results.items():
        base = times["vexil"]
        cells = [f"{times[label] * 1e3:>12.3f}" if label in times else f"{'-':>12}" for label in labels]
        ratios = [f"{times[label] / base:>11.2f}" if label in times else f"{'-':>11}" for label in labels[1:]]
        print(f"| {name:<18} | {size / 1024:>6.1f} | " + " | ".join(cells) + " | " + " | ".join(ratios) + " |")
    print("\n× = that reader's time / vexil's time (above 1: vexil is faster)")

    print("\nTargets:")
    for name in ("twitter.toml", "citm_catalog.toml"):
        if name in results and "json" in results[name][1]:
            times, per_round = results[name][1], results[name][2]
            verdict = "met" if times["vexil"] <= times["json"] else "MISSED"
            # A busy machine slows whole stretches of rounds; the ratio within
            # each round cancels most of that.
            paired = statistics.median(j / v for v, j in zip(per_round["vexil"], per_round["json"]))
            print(f"  {name}: vexil {times['vexil'] * 1e3:.3f} ms vs json.loads of the twin "
                  f"{times['json'] * 1e3:.3f} ms (no slower): {verdict}; "
                  f"median of per-round ratios json/vexil {paired:.2f}")
    if "data.toml" in results and "pytomlpp" in results["data.toml"][1]:
        times = results["data.toml"][1]
        ratio = times["pytomlpp"] / times["vexil"]
        print(f"  data.toml: {ratio:.1f}x faster than pytomlpp (at least 5x): {'met' if ratio >= 5 else 'MISSED'}")


if __name__ == "__main__":
    main()
