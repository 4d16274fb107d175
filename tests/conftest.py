import os
import pathlib

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
SHARED = pathlib.Path(os.environ.get("VEXIL_SHARED", ROOT.parent / "shared"))


@pytest.fixture(scope="session")
def shared_dir() -> pathlib.Path:
    if not (SHARED / "toml-test").is_dir():
        pytest.fail(f"{SHARED}/toml-test is missing (set VEXIL_SHARED to the shared folder)")
    return SHARED
