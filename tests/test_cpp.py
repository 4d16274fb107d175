"""Builds the C++ tree (the TOML library, its tests and the toml-test decoder)
and runs its tests through ctest, so one pytest run covers C++ and Python."""

import os
import pathlib
import shutil
import subprocess
import sys

from conftest import ROOT, SHARED


def run(cmd, **kwargs):
    print("$", " ".join(map(str, cmd)), flush=True)
    return subprocess.run(cmd, text=True, capture_output=True, **kwargs)


def test_cpp_suite(shared_dir):
    build = ROOT / "build" / "cpp-tests"
    cmake = shutil.which("cmake")
    assert cmake, "cmake is needed to build the C++ tests (it comes with the test extras)"
    configure = [cmake, "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                 f"-DPython3_EXECUTABLE={sys.executable}", f"-DVEXIL_SHARED={shared_dir}"]
    if shutil.which("ninja") and not (build / "CMakeCache.txt").exists():
        configure += ["-G", "Ninja"]
    steps = [
        configure,
        [cmake, "--build", build, "--parallel", str(os.cpu_count() or 2)],
        [str(pathlib.Path(cmake).with_name("ctest")), "--test-dir", build, "--output-on-failure", "-V"],
    ]
    for cmd in steps:
        result = run(cmd)
        print(result.stdout[-20000:])
        print(result.stderr[-20000:], file=sys.stderr)
        assert result.returncode == 0, f"{cmd[0]} failed with exit code {result.returncode}"
