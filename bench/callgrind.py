"""Instruction counts under valgrind's callgrind, shared by the benchmark
scripts that judge changes by instructions rather than by time."""

from __future__ import annotations

import os
import pathlib
import subprocess
import sys


def count(child, arguments, workdir):
    """Instructions executed by `python -c child *arguments` (the whole
    process), with a fixed hash seed so that runs repeat exactly."""
    out = pathlib.Path(workdir) / f"callgrind.{os.getpid()}.out"
    env = dict(os.environ, PYTHONHASHSEED="0")
    subprocess.run(
        ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", "--dump-instr=no",
         sys.executable, "-c", child, *arguments],
        check=True, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
    )
    for line in out.read_text().splitlines():
        if line.startswith(("summary:", "totals:")):
            out.unlink()
            return int(line.split()[1])
    raise RuntimeError(f"no totals in {out}")
