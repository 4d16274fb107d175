"""Typing and packaging: mypy --strict on the package and on a usage example,
and an sdist that builds and installs into a fresh virtual environment."""

import os
import pathlib
import subprocess
import sys
import venv

import pytest

import vexil
from conftest import ROOT

PACKAGE = pathlib.Path(vexil.__file__).parent


def test_package_ships_typing_files():
    assert (PACKAGE / "py.typed").is_file()
    assert (PACKAGE / "_vexil.pyi").is_file()


@pytest.mark.parametrize(
    "target",
    [["-p", "vexil"], [str(ROOT / "tests" / "typing" / "usage.py")], [str(ROOT / "tests" / "typing" / "io_usage.py")]],
)
def test_mypy_strict(target):
    # Run from a folder without a vexil/ of its own, so mypy checks the
    # installed package (with its stub) rather than a source tree.
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", *target],
        capture_output=True, text=True, cwd=ROOT / "tests" / "typing",
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_io_typing_example_runs():
    # The typed example is a working program, not only one mypy accepts.
    result = subprocess.run([sys.executable, str(ROOT / "tests" / "typing" / "io_usage.py")],
                            capture_output=True, text=True, cwd=ROOT / "tests" / "typing")
    assert result.returncode == 0 and result.stdout == "ok\n", result.stdout + result.stderr


def install_and_use(artifact, tmp_path):
    """Installs a wheel or sdist into a fresh venv and uses the package there."""
    env_dir = tmp_path / f"venv-{artifact.suffix}"
    venv.create(env_dir, with_pip=True)
    python = env_dir / ("Scripts" if os.name == "nt" else "bin") / "python"
    install = subprocess.run([python, "-m", "pip", "install", "--quiet", artifact], capture_output=True, text=True)
    assert install.returncode == 0, install.stdout + install.stderr
    check = subprocess.run(
        [python, "-c", "import vexil; print(vexil.__version__, vexil.loads('a = [1, 2]'), vexil.dumps({'b': 1}))"],
        capture_output=True, text=True, cwd=tmp_path,
    )
    assert check.returncode == 0, check.stderr
    assert check.stdout.split()[0] == vexil.__version__
    assert "{'a': [1, 2]} b = 1" in check.stdout.replace("\n", " ")


def test_sdist_builds_and_installs_in_fresh_venv(tmp_path):
    dist = tmp_path / "dist"
    subprocess.run([sys.executable, "-m", "build", "--sdist", "--outdir", dist, ROOT], check=True,
                   capture_output=True)
    (sdist,) = dist.glob("vexil-*.tar.gz")
    install_and_use(sdist, tmp_path)


def test_pip_wheel_builds_an_installable_wheel(tmp_path):
    dist = tmp_path / "wheels"
    subprocess.run([sys.executable, "-m", "pip", "wheel", "--no-deps", "--wheel-dir", dist, ROOT], check=True,
                   capture_output=True)
    (wheel,) = dist.glob("vexil-*.whl")
    install_and_use(wheel, tmp_path)
