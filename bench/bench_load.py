"""Reading from files: vexil.load of a binary file (bytes straight to the
parser) and vexil.loads of bytes, against _vexil.deserialize of a str made
beforehand whose UTF-8 form is already cached (the best case of reading,
with no file and no decoding). All interleaved in one run.

    .venv/bin/python bench/bench_load.py [--rounds 7] [--budget 0.2]

Ratios are time / deserialize time: 1.00 is as fast as reading a ready str.
Also shown: the package as it read bytes before (decode to str in Python,
then deserialize), for comparison.
"""

from __future__ import annotations

import argparse
import io
import pathlib
import statistics

from timing import interleaved

import vexil
from vexil import _vexil

ROOT = pathlib.Path(__file__).resolve().parent.parent
DOCUMENTS = ["twitter", "citm_catalog", "data", "pyproject", "poetry.lock"]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--shared", type=pathlib.Path, default=ROOT.parent / "shared")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--budget", type=float, default=0.2, help="seconds per batch")
    args = parser.parse_args()
    print(f"{'document':<14} {'load(fp)':>9} {'loads(b)':>9} {'decode+de':>10}   (median of per-round ratios to deserialize)")
    for name in DOCUMENTS:
        path = args.shared / "bench" / f"{name}.toml"
        if not path.exists():
            continue
        data = path.read_bytes()
        text = data.decode("utf-8")
        text.encode("utf-8")  # deserialize reads the str's cached UTF-8 form

        def from_file(data: bytes) -> object:
            return vexil.load(io.BytesIO(data))

        def decoded(data: bytes) -> object:
            return _vexil.deserialize(data.decode("utf-8"))

        _, rounds = interleaved(
            [
                ("deserialize", _vexil.deserialize, text),
                ("load", from_file, data),
                ("loads", vexil.loads, data),
                ("decode", decoded, data),
            ],
            args.rounds,
            args.budget,
        )

        def ratio(label: str) -> float:
            return statistics.median(t / d for t, d in zip(rounds[label], rounds["deserialize"]))

        print(f"{name:<14} {ratio('load'):>9.3f} {ratio('loads'):>9.3f} {ratio('decode'):>10.3f}")


if __name__ == "__main__":
    main()
