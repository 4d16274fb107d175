"""Typing and packaging: mypy --strict on the package and on a usage example,
and an sdist that builds and installs into a fresh virtual environment."""

import importlib.metadata
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tarfile
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


def tracked_files():
    """The files git tracks in the checkout, or a skip outside one."""
    if shutil.which("git") is None or not (ROOT / ".git").exists():
        pytest.skip("needs a git checkout")
    listing = subprocess.run(["git", "ls-files", "-z"], cwd=ROOT, capture_output=True, check=True).stdout
    return {name for name in listing.decode("utf-8").split("\0") if name}


# Untracked things a work tree gathers; none may reach the sdist.
STRAYS = [
    "notes.txt",
    "src/scratch.txt",
    "fuzz/corpus/seed-1",
    "python/vexil/_vexil.cpython-311-x86_64-linux-gnu.so",
    "tests/__pycache__/conftest.cpython-311.pyc",
    ".venv/lib/site.py",
    "build/cp311/CMakeCache.txt",
    "dist/vexil-0.0.1.tar.gz",
]


def test_sdist_holds_exactly_the_tracked_files(tmp_path):
    # Built from a copy of the tracked files plus typical strays, so the
    # check does not depend on the state of the developer's work tree.
    tracked = tracked_files()
    tree = tmp_path / "tree"
    for name in tracked:
        if (ROOT / name).is_file():
            (tree / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(ROOT / name, tree / name)
    for name in STRAYS:
        (tree / name).parent.mkdir(parents=True, exist_ok=True)
        (tree / name).write_text("stray\n")
    dist = tmp_path / "dist"
    subprocess.run([sys.executable, "-m", "build", "--sdist", "--outdir", dist, tree], check=True, capture_output=True)
    (sdist,) = dist.glob("vexil-*.tar.gz")
    with tarfile.open(sdist) as archive:
        members = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
        members = {name for name in members if archive.getmember(f"{sdist.name[:-7]}/{name}").isfile()}
    # Everything tracked outside the CI folders (.ci/, .github/, .gitignore),
    # and the metadata file the build writes.
    expected = {name for name in tracked if not name.startswith(".")} | {"PKG-INFO"}
    assert members == expected


def test_metadata_states_licence_authors_and_versions():
    metadata = importlib.metadata.metadata("vexil")
    assert metadata["License-Expression"] == "MIT"
    assert metadata["Author"] == "the vexil developers"
    assert metadata["Requires-Python"] == ">=3.11"
    versions = sorted(c.rsplit(" ", 1)[1] for c in metadata.get_all("Classifier") if re.fullmatch(r".*:: 3\.\d+", c))
    assert versions == ["3.11", "3.12", "3.13"]
    files = [str(f) for f in importlib.metadata.files("vexil")]
    assert any(f.endswith(".dist-info/licenses/LICENSE") for f in files), files


def test_license_and_readme_agree_with_the_metadata():
    licence = (ROOT / "LICENSE").read_text(encoding="utf-8")
    assert licence.startswith("MIT License\n\nCopyright (c) 2026 the vexil developers\n")
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    assert "3.11 or later; tested on 3.11, 3.12, 3.13" in readme
    assert "VEXIL_SHARED" in readme and "toml-test" in readme


@pytest.mark.parametrize(
    ("platform", "expected"),
    [
        ("linux", {f"cp3{v}-{libc}_{arch}" for v in (11, 12, 13) for libc in ("manylinux", "musllinux")
                   for arch in ("x86_64", "aarch64")}),
        ("macos", {f"cp3{v}-macosx_{arch}" for v in (11, 12, 13) for arch in ("x86_64", "arm64")}),
        # The core needs GCC or Clang extensions that MSVC lacks: no Windows wheels.
        ("windows", set()),
    ],
)
def test_cibuildwheel_builds_the_supported_wheels(platform, expected):
    pytest.importorskip("cibuildwheel")
    result = subprocess.run(
        [sys.executable, "-m", "cibuildwheel", "--print-build-identifiers", "--platform", platform, ROOT],
        capture_output=True, text=True, cwd=ROOT,
    )
    assert result.returncode == 0, result.stderr
    assert set(result.stdout.split()) == expected
