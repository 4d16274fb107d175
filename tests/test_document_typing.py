"""mypy --strict accepts a program written against vexil.Document."""

import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent


def test_mypy_strict_on_document_usage():
    # Run from tests/typing (no vexil/ there), so mypy checks the installed package.
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", str(ROOT / "tests" / "typing" / "usage_document.py")],
        capture_output=True, text=True, cwd=ROOT / "tests" / "typing",
    )
    assert result.returncode == 0, result.stdout + result.stderr
