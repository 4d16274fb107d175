"""`import vexil` stays light: the modules that cost most to import are
loaded only by the code that uses them."""

import subprocess
import sys

# Modules the package must not import at start-up: regular expressions,
# temporary files and typing (each a few milliseconds), the command line's
# modules, and what they pull in.
HEAVY = ["re", "tempfile", "typing", "argparse", "json", "enum", "shutil", "random", "decimal", "vexil.__main__",
         "vexil._lossless", "vexil._atomic"]


def test_import_vexil_loads_none_of_the_heavy_modules():
    code = (
        "import sys\n"
        "before = set(sys.modules)\n"
        "import vexil\n"
        "print(' '.join(sorted(set(sys.modules) - before)))\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    loaded = set(result.stdout.split())
    assert "vexil" in loaded
    assert sorted(loaded & set(HEAVY)) == []


def test_the_light_import_still_gives_positions_and_pickling():
    # The package's start-up work that replaced the eager imports: the
    # position of a parse error without re, and pickling without typing.
    code = (
        "import pickle, vexil\n"
        "try:\n"
        "    vexil.loads('a = 1\\nb = \\n')\n"
        "except vexil.TOMLDecodeError as err:\n"
        "    print(err.msg, err.lineno, err.colno)\n"
        "print(pickle.loads(pickle.dumps(vexil.loads('t = 2000-01-01T00:00:00+02:00')))['t'].tzinfo)\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert result.stdout.splitlines() == ["expected a value, found a newline 2 5", "UTC+02:00"]
