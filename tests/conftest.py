import gc
import os
import pathlib
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
SHARED = pathlib.Path(os.environ.get("VEXIL_SHARED", ROOT.parent / "shared"))


@pytest.fixture(scope="session")
def shared_dir() -> pathlib.Path:
    if not (SHARED / "toml-test").is_dir():
        pytest.fail(f"{SHARED}/toml-test is missing (set VEXIL_SHARED to the shared folder)")
    return SHARED


def blocks_growth(run, rounds):
    """Allocated blocks gained over `rounds` calls of run(). The interpreter
    fills some caches of its own on first use (specialised bytecode, the
    exception machinery, ABC caches), at a pace that varies with what ran
    before, so the figure is taken up to three times and the smallest kept:
    a real leak grows on every attempt."""
    run()
    growth = []
    for _ in range(3):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(rounds):
            run()
        gc.collect()
        growth.append(sys.getallocatedblocks() - before)
        if growth[-1] < 100:
            break
    return min(growth)
