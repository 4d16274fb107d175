"""Peak memory while reading: vexil against tomllib and json (JSON twins).

Each case runs in a fresh interpreter: the input text is made first, the
process's peak resident size is reset (Linux: /proc/self/clear_refs), the
document is read once, and the figure is the peak resident size during the
read less the resident size before it, so it counts the reader's working
memory and the objects it returns. Run: python bench/memory.py [--quick]
(--quick uses inputs 1/8 of the size).
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
from pathlib import Path

SHARED = Path(os.environ.get("VEXIL_SHARED", Path(__file__).resolve().parent.parent.parent / "shared"))

CHILD = r"""
import json, sys
case, reader, scale, shared = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]

def make(case, as_json):
    if case == "array of ints":
        n = 2**24 // scale
        return '{"a": [' + "7," * n + "7]}" if as_json else "a = [" + "7," * n + "7]"
    if case == "flat table":
        n = 2_000_000 // scale
        if as_json:
            return "{" + ",".join(f'"k{i}": 1' for i in range(n)) + "}"
        return "".join(f"k{i} = 1\n" for i in range(n))
    if case == "nested arrays":
        n = 2_000_000 // scale
        return '{"a": [' + "[1]," * n + "[1]]}" if as_json else "a = [" + "[1]," * n + "[1]]"
    suffix = ".json" if as_json else ".toml"
    with open(f"{shared}/bench/{case}{suffix}", encoding="utf-8") as f:
        return f.read()

def rss():
    with open("/proc/self/status") as f:
        fields = dict(line.split(":", 1) for line in f)
    return int(fields["VmRSS"].split()[0]) * 1024, int(fields["VmHWM"].split()[0]) * 1024

if reader == "vexil":
    import vexil
    read = vexil.loads
elif reader == "tomllib":
    import tomllib
    read = tomllib.loads
else:
    read = json.loads
text = make(case, reader == "json")
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # resets the peak resident size to the current one
before, _ = rss()
result = read(text)
_, peak = rss()
print(peak - before, len(text.encode()))
"""

CASES = ["array of ints", "flat table", "nested arrays", "twitter", "citm_catalog"]
READERS = ["vexil", "tomllib", "json"]


def measure(case: str, reader: str, scale: int) -> tuple[int, int]:
    out = subprocess.run([sys.executable, "-c", CHILD, case, reader, str(scale), str(SHARED)],
                         capture_output=True, text=True, check=True).stdout.split()
    return int(out[0]), int(out[1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="inputs 1/8 of the size")
    parser.add_argument("--readers", default=",".join(READERS))
    args = parser.parse_args()
    scale = 8 if args.quick else 1
    readers = args.readers.split(",")
    print(f"{'document':<16} {'TOML bytes':>12} " + " ".join(f"{r + ' MB':>12}" for r in readers)
          + "  vexil/tomllib")
    for case in CASES:
        peaks = {}
        size = 0
        for reader in readers:
            peaks[reader], length = measure(case, reader, scale if case in CASES[:3] else 1)
            if reader != "json":
                size = length
        ratio = f"{peaks['vexil'] / peaks['tomllib']:.2f}" if "vexil" in peaks and "tomllib" in peaks else "-"
        print(f"{case:<16} {size:>12,} " + " ".join(f"{peaks[r] / 1e6:>12.1f}" for r in readers) + f"  {ratio:>13}")


if __name__ == "__main__":
    main()
