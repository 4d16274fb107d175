"""Instructions per "one edit" (read a document into an editor, change one
value deep in it, write the text out) for vexil.Document and tomledit,
counted by valgrind's callgrind (a script, not a test).

The edits are bench_edit.py's. Each contender runs in a fresh interpreter
under callgrind, once with 1 timed edit and once with 1 + K (both after an
untimed warm-up edit); the difference divided by K is the cost of one edit,
with start-up, imports and reading the file cancelled out.

    .venv/bin/python bench/edit_instructions.py [--shared DIR] [--calls K] [--only DOC ...]
"""

from __future__ import annotations

import argparse
import pathlib
import shutil
import sys
import tempfile

import callgrind
from bench_edit import EDITS

ROOT = pathlib.Path(__file__).resolve().parent.parent

CHILD = """
import sys
name, path, calls, edit = sys.argv[1], sys.argv[2], int(sys.argv[3]), eval(sys.argv[4])
keys, value = edit
text = open(path, encoding="utf-8").read()

def assign(root):
    for step in keys[:-1]:
        root = root[step]
    root[keys[-1]] = value

if name == "vexil":
    import vexil
    def run():
        doc = vexil.Document(text)
        assign(doc)
        return str(doc)
else:
    import tomledit
    def run():
        doc = tomledit.Document.parse(text)
        assign(doc)
        return doc.as_toml()
run()
for _ in range(calls):
    run()
"""


def count(name, path, calls, edit, workdir):
    return callgrind.count(CHILD, [name, str(path), str(calls), repr(edit)], workdir)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--shared", type=pathlib.Path, default=ROOT.parent / "shared")
    parser.add_argument("--calls", type=int, default=3, help="edits K in the longer run (default 3)")
    parser.add_argument("--only", nargs="*", default=None, help="documents to run (default: all)")
    parser.add_argument("--contenders", nargs="*", default=["vexil", "tomledit"])
    args = parser.parse_args()
    if shutil.which("valgrind") is None:
        sys.exit("valgrind is not on the PATH")
    print(f"Python {sys.version.split()[0]}: instructions per edit (millions), callgrind, "
          f"{args.calls} edits after a warm-up")
    with tempfile.TemporaryDirectory() as workdir:
        for document, edit in EDITS.items():
            if args.only and document not in args.only:
                continue
            path = args.shared / "bench" / document
            figures = {}
            for name in args.contenders:
                short = count(name, path, 1, edit, workdir)
                long = count(name, path, 1 + args.calls, edit, workdir)
                figures[name] = (long - short) / args.calls
            cells = "  ".join(f"{n} {f / 1e6:8.2f} M" for n, f in figures.items())
            ratio = ""
            if "vexil" in figures and "tomledit" in figures:
                ratio = f"  tomledit / vexil = {figures['tomledit'] / figures['vexil']:.2f}"
            print(f"{document:20} {cells}{ratio}", flush=True)


if __name__ == "__main__":
    main()
