"""Runs the toml-test decoder over toml-test's TOML 1.1.0 cases.

usage: toml_test_conformance.py DECODER TOML_TEST_DIR [NAME_FILTER]

Valid cases must decode to JSON equal (as values) to the expected .json;
invalid cases must be rejected with exit code 1 and a message on stderr.
Floats compare numerically (nan equals nan, the sign of zero counts);
date-times compare by their components after normalising: fractions to
milliseconds (toml-test only requires millisecond precision, truncated) and
the offsets Z, +00:00 and -00:00 as the same.
"""

import json
import math
import pathlib
import re
import subprocess
import sys

DATETIME = re.compile(
    r"^(?:(\d{4})-(\d{2})-(\d{2}))?"
    r"(?:[Tt ]?(\d{2}):(\d{2})(?::(\d{2})(?:\.(\d+))?)?)?"
    r"(?:([Zz])|([+-])(\d{2}):(\d{2}))?$"
)


def normal_datetime(text):
    m = DATETIME.match(text)
    if not m:
        return ("unparsable", text)
    y, mo, d, h, mi, s, frac, z, sign, oh, om = m.groups()
    millis = (frac or "").ljust(3, "0")[:3] if frac is not None else None
    if z:
        offset = 0
    elif sign:
        offset = (int(oh) * 60 + int(om)) * (-1 if sign == "-" else 1)
    else:
        offset = None
    return (y, mo, d, h, mi, s or "00" if h else None, millis if millis is not None else "000", offset)


def normal_float(text):
    if text in ("nan", "+nan", "-nan"):
        return ("nan",)
    value = float(text.replace("_", ""))
    return (value, math.copysign(1.0, value))


def is_tagged(obj):
    return (isinstance(obj, dict) and set(obj) == {"type", "value"}
            and isinstance(obj["type"], str) and isinstance(obj["value"], str))


def same(expected, actual, path="$"):
    """Returns None when equal, else a description of the first difference."""
    if is_tagged(expected):
        if not is_tagged(actual):
            return f"{path}: expected a {expected['type']} value, got {json.dumps(actual)[:80]}"
        kind = expected["type"]
        if actual["type"] != kind:
            return f"{path}: expected type {kind}, got {actual['type']}"
        ev, av = expected["value"], actual["value"]
        if kind == "integer":
            ok = int(ev) == int(av)
        elif kind == "float":
            ok = normal_float(ev) == normal_float(av)
        elif kind in ("datetime", "datetime-local", "date-local", "time-local"):
            ok = normal_datetime(ev) == normal_datetime(av)
        else:
            ok = ev == av
        return None if ok else f"{path}: expected {kind} {ev!r}, got {av!r}"
    if isinstance(expected, dict):
        if not isinstance(actual, dict) or is_tagged(actual):
            return f"{path}: expected a table, got {json.dumps(actual)[:80]}"
        if list(expected) != list(actual) and set(expected) != set(actual):
            return f"{path}: keys differ: expected {sorted(expected)}, got {sorted(actual)}"
        for key in expected:
            diff = same(expected[key], actual[key], f"{path}.{key}")
            if diff:
                return diff
        return None
    if isinstance(expected, list):
        if not isinstance(actual, list):
            return f"{path}: expected an array, got {json.dumps(actual)[:80]}"
        if len(expected) != len(actual):
            return f"{path}: expected {len(expected)} elements, got {len(actual)}"
        for i, (e, a) in enumerate(zip(expected, actual)):
            diff = same(e, a, f"{path}[{i}]")
            if diff:
                return diff
        return None
    return None if expected == actual else f"{path}: expected {expected!r}, got {actual!r}"


def run(decoder, data):
    return subprocess.run([decoder], input=data, capture_output=True, timeout=30)


def main():
    decoder, root = sys.argv[1], pathlib.Path(sys.argv[2])
    name_filter = sys.argv[3] if len(sys.argv) > 3 else ""
    names = [line.strip() for line in (root / "files-toml-1.1.0").read_text().splitlines() if line.strip()]
    valid = [n for n in names if n.startswith("valid/") and n.endswith(".toml") and name_filter in n]
    invalid = [n for n in names if n.startswith("invalid/") and n.endswith(".toml") and name_filter in n]
    failures = []

    valid_passed = 0
    for name in valid:
        result = run(decoder, (root / name).read_bytes())
        if result.returncode != 0:
            failures.append(f"{name}: rejected (exit {result.returncode}): {result.stderr.decode(errors='replace').strip()}")
            continue
        try:
            actual = json.loads(result.stdout)
        except ValueError as exc:
            failures.append(f"{name}: the decoder printed invalid JSON: {exc}")
            continue
        expected = json.loads((root / name[:-5]).with_suffix(".json").read_text(encoding="utf-8"))
        diff = same(expected, actual)
        if diff:
            failures.append(f"{name}: {diff}")
        else:
            valid_passed += 1

    invalid_rejected = 0
    for name in invalid:
        result = run(decoder, (root / name).read_bytes())
        message = result.stderr.decode(errors="replace").strip()
        if result.returncode == 1 and " at byte " in message:
            invalid_rejected += 1
        elif result.returncode == 0:
            failures.append(f"{name}: accepted an invalid document")
        else:
            failures.append(f"{name}: exit {result.returncode} (expected 1 with a message): {message[:200]}")

    for line in failures:
        print("FAIL", line)
    print(f"valid: {valid_passed}/{len(valid)} passed, invalid: {invalid_rejected}/{len(invalid)} rejected")
    expected_counts = (220, 492) if not name_filter else (len(valid), len(invalid))
    if (len(valid), len(invalid)) != expected_counts:
        print(f"expected {expected_counts[0]} valid and {expected_counts[1]} invalid cases in files-toml-1.1.0")
        return 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
