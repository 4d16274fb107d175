"""Instructions per call of vexil's readers and writers next to json and
orjson, counted by valgrind's callgrind (a script, not a test).

Timings on a shared machine move with whatever else runs; instruction counts
do not, so this is the figure to judge a change by. Each contender runs in a
fresh interpreter under `valgrind --tool=callgrind`, once with 1 timed call
and once with 1 + K timed calls (both after one untimed warm-up call, so
one-time caches are paid outside the difference); the difference divided by
K is the cost of one call in a steady state, with the interpreter's start-up,
the imports and the reading of the documents cancelled out.

Every call's result is dropped at once, as in the timed benchmarks, so the
cost of freeing it is counted too. The hash seed is fixed so that runs
repeat exactly.

    .venv/bin/python bench/instructions.py [--shared DIR] [--calls K] [--only NAME ...]

Needs valgrind on the PATH and orjson installed next to vexil (contenders
that cannot be imported are left out).
"""

from __future__ import annotations

import argparse
import pathlib
import shutil
import sys
import tempfile

import callgrind

ROOT = pathlib.Path(__file__).resolve().parent.parent
DOCUMENTS = ("twitter", "citm_catalog")

# name: (what the argument is, the call). The argument kinds are made by the
# child below: "toml" the document as str, "toml_bytes" as bytes, "json" the
# JSON twin as str, "obj" the document's objects (read with tomllib).
CONTENDERS = {
    "vexil.deserialize": ("toml", "vexil.deserialize(arg)"),
    "vexil.load": ("toml_bytes", "vexil.load(io.BytesIO(arg))"),
    "json.loads": ("json", "json.loads(arg)"),
    "orjson.loads": ("json", "orjson.loads(arg)"),
    "vexil.serialize": ("obj", "vexil.serialize(arg)"),
    "vexil.dump": ("obj", "vexil.dump(arg, io.BytesIO())"),
    "json.dumps": ("obj", "json.dumps(arg, default=str)"),
    "orjson.dumps": ("obj", "orjson.dumps(arg)"),
}

CHILD = """
import io, json, sys, tomllib
kind, path, calls, call = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
import vexil
try:
    import orjson
except ImportError:
    pass
if kind == "toml":
    arg = open(path + ".toml", encoding="utf-8").read()
elif kind == "toml_bytes":
    arg = open(path + ".toml", "rb").read()
elif kind == "json":
    arg = open(path + ".json", encoding="utf-8").read()
else:
    with open(path + ".toml", "rb") as f:
        arg = tomllib.load(f)
function = eval("lambda arg: " + call)
function(arg)
for _ in range(calls):
    function(arg)
"""


def available(name):
    module = name.split(".")[0]
    if module == "vexil":
        return True
    try:
        __import__(module)
        return True
    except ImportError:
        return False


def count(kind, path, calls, call, workdir):
    return callgrind.count(CHILD, [kind, str(path), str(calls), call], workdir)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--shared", type=pathlib.Path, default=ROOT.parent / "shared",
                        help="the shared folder holding bench/ (default: ../shared)")
    parser.add_argument("--calls", type=int, default=4, help="timed calls K in the longer run (default 4)")
    parser.add_argument("--only", nargs="*", default=None, help="contenders to run (default: all)")
    args = parser.parse_args()
    if shutil.which("valgrind") is None:
        sys.exit("valgrind is not on the PATH")

    names = [name for name in CONTENDERS if (args.only is None or name in args.only) and available(name)]
    results = {}
    with tempfile.TemporaryDirectory() as workdir:
        for document in DOCUMENTS:
            path = args.shared / "bench" / document
            for name in names:
                kind, call = CONTENDERS[name]
                short = count(kind, path, 1, call, workdir)
                long = count(kind, path, 1 + args.calls, call, workdir)
                results[(document, name)] = (long - short) / args.calls
                print(f"  {document} {name}: {results[(document, name)] / 1e6:.2f} M", file=sys.stderr)

    print(f"Python {sys.version.split()[0]}: instructions per call (millions), "
          f"callgrind, {args.calls} calls after a warm-up")
    print()
    print(f"| {'contender':<18} | " + " | ".join(f"{d:>14}" for d in DOCUMENTS) + " |")
    print(f"|{'-' * 20}|" + "|".join("-" * 16 for _ in DOCUMENTS) + "|")
    for name in names:
        cells = [f"{results[(d, name)] / 1e6:>14.2f}" for d in DOCUMENTS]
        print(f"| {name:<18} | " + " | ".join(cells) + " |")
    print()
    for document in DOCUMENTS:
        for ours, floor in (("vexil.deserialize", "json.loads"), ("vexil.serialize", "orjson.dumps"),
                            ("vexil.deserialize", "orjson.loads")):
            if (document, ours) in results and (document, floor) in results:
                ratio = results[(document, ours)] / results[(document, floor)]
                print(f"  {document}: {ours} / {floor} = {ratio:.2f}")


if __name__ == "__main__":
    main()
