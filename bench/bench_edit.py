"""Editing benchmark: vexil.Document against the format-preserving editors
tomlkit (pure Python) and tomledit (native), all measured in one run.

Two tasks per document:
  round trip   read the text into an editable document, then write it out
  one edit     read, change one value deep in the document, write it out

Run from a virtual environment that has vexil and the peers installed:

    python -m venv .venv-bench
    .venv-bench/bin/pip install . tomlkit tomledit
    .venv-bench/bin/python bench/bench_edit.py

Peers that are not installed are left out. Times are the best of several
rounds, interleaved round by round in alternating order (bench/timing.py);
ratios are peer time / vexil time, above 1 means vexil is faster, shown for
the best times and as the median of the per-round ratios.
"""

from __future__ import annotations

import argparse
import importlib
import importlib.metadata
import pathlib
import platform
import statistics

from timing import interleaved

import vexil

ROOT = pathlib.Path(__file__).resolve().parent.parent

# The value each document gets in the "one edit" task: a path of keys and
# indexes to an existing scalar, and its new value.
EDITS = {
    "pyproject.toml": (("project", "version"), "9.9.9"),
    "poetry.lock.toml": (("package", 3, "version"), "9.9.9"),
    "twitter.toml": (("statuses", 2, "user", "name"), "changed"),
    "citm_catalog.toml": (("performances", 5, "prices", 1, "amount"), 12345),
}


def optional(name):
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


def assign(root, path, value):
    for step in path[:-1]:
        root = root[step]
    root[path[-1]] = value


def contenders(text, path, value):
    """(label, round trip, one edit) for vexil and each installed peer."""
    def vexil_trip(t):
        return str(vexil.Document(t))

    def vexil_edit(t):
        doc = vexil.Document(t)
        assign(doc, path, value)
        return str(doc)

    found = [("vexil", vexil_trip, vexil_edit)]
    if (tomlkit := optional("tomlkit")) is not None:
        def tomlkit_edit(t):
            doc = tomlkit.parse(t)
            assign(doc, path, value)
            return doc.as_string()

        found.append(("tomlkit", lambda t: tomlkit.parse(t).as_string(), tomlkit_edit))
    if (tomledit := optional("tomledit")) is not None:
        def tomledit_edit(t):
            doc = tomledit.Document.parse(t)
            assign(doc, path, value)
            return doc.as_toml()

        found.append(("tomledit", lambda t: tomledit.Document.parse(t).as_toml(), tomledit_edit))
    return found


def check(found, text, path, value):
    """Every contender keeps the text and makes the edit (a benchmark of
    wrong results would be worthless)."""
    expected = vexil.loads(text)
    assign(expected, path, value)
    for label, trip, edit in found:
        assert trip(text) == text, f"{label} changed the text"
        assert vexil.loads(edit(text)) == expected, f"{label} made a different edit"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--budget", type=float, default=0.2, help="seconds per contender per round")
    parser.add_argument("--bench-dir", type=pathlib.Path, default=ROOT.parent / "shared" / "bench")
    args = parser.parse_args()

    versions = ", ".join(f"{name} {importlib.metadata.version(name)}" for name in ("tomlkit", "tomledit")
                         if optional(name) is not None)
    print(f"Python {platform.python_version()} on {platform.machine()}; peers: {versions}")
    print(f"{'document':20} {'task':11} {'vexil':>10} {'tomlkit':>10} {'tomledit':>10} "
          f"{'x tomlkit':>16} {'x tomledit':>16}")
    for name, (path, value) in EDITS.items():
        text = (args.bench_dir / name).read_text(encoding="utf-8")
        found = contenders(text, path, value)
        check(found, text, path, value)
        for task, column in (("round trip", 1), ("one edit", 2)):
            best, per_round = interleaved([(f[0], f[column], text) for f in found], args.rounds, args.budget)
            cells = [f"{best[label] * 1e3:9.3f}ms" if label in best else f"{'-':>10}"
                     for label in ("vexil", "tomlkit", "tomledit")]
            ratios = []
            for peer in ("tomlkit", "tomledit"):
                if peer not in best:
                    ratios.append(f"{'-':>16}")
                    continue
                median = statistics.median(p / v for p, v in zip(per_round[peer], per_round["vexil"]))
                ratios.append(f"{best[peer] / best['vexil']:7.1f} (med {median:5.1f})")
            print(f"{name:20} {task:11} {' '.join(cells)} {' '.join(ratios)}", flush=True)
    print("targets: >= 100x tomlkit and >= 3x tomledit on every document and task")


if __name__ == "__main__":
    main()
