"""toml_version="1.0.0": toml-test's documents read as the standard
library's tomllib (a TOML 1.0.0 reader) reads them, and every document
that only TOML 1.1.0 allows is refused with a message naming the construct."""

import datetime as dt
import math
import tomllib

import pytest

import vexil

NEWER = "TOML 1.0.0 does not allow "


def comparable(value):
    """The value with NaNs made equal and time zones reduced to offsets."""
    if isinstance(value, dict):
        return {k: comparable(v) for k, v in value.items()}
    if isinstance(value, list):
        return [comparable(v) for v in value]
    if isinstance(value, float) and math.isnan(value):
        return "nan"
    if isinstance(value, dt.datetime) and value.tzinfo is not None:
        return (value.replace(tzinfo=None), value.utcoffset())
    return value


def suite(shared_dir, kind):
    root = shared_dir / "toml-test"
    for name in (root / "files-toml-1.1.0").read_text(encoding="utf-8").split():
        if name.startswith(kind + "/") and name.endswith(".toml"):
            data = (root / name).read_bytes()
            try:
                data.decode("utf-8")
            except UnicodeDecodeError:
                continue
            yield name, data


def test_valid_cases_read_as_tomllib_reads_them(shared_dir):
    same = newer = 0
    for name, data in suite(shared_dir, "valid"):
        if data.startswith(b"\xef\xbb\xbf"):
            # tomllib reads a str, where a byte order mark is a character it
            # refuses; no TOML version says anything of it, and vexil skips it.
            assert vexil.loads(data, toml_version="1.0.0") == vexil.loads(data)
            continue
        try:
            expected = tomllib.loads(data.decode("utf-8"))
        except tomllib.TOMLDecodeError:
            # Only TOML 1.1.0 allows this document: refused, with the construct named.
            with pytest.raises(vexil.TomlParsingError) as info:
                vexil.loads(data, toml_version="1.0.0")
            assert str(info.value).startswith(NEWER), (name, str(info.value))
            assert vexil.loads(data, toml_version="1.1.0") is not None
            newer += 1
            continue
        assert comparable(vexil.loads(data, toml_version="1.0.0")) == comparable(expected), name
        same += 1
    assert same > 150 and newer >= 8, (same, newer)


def test_invalid_cases_stay_invalid(shared_dir):
    for name, data in suite(shared_dir, "invalid"):
        with pytest.raises(vexil.TomlParsingError):
            vexil.loads(data, toml_version="1.0.0")
        # The 1.0.0 mode adds no message of its own to a document no version allows.
        try:
            vexil.loads(data)
        except vexil.TomlParsingError as err:
            message = str(err)
        with pytest.raises(vexil.TomlParsingError) as info:
            vexil.loads(data, toml_version="1.0.0")
        assert str(info.value) == message or str(info.value).startswith(NEWER), name


@pytest.mark.parametrize(
    "text, construct, position",
    [
        ('a = "\\e"', "the escape sequence `\\e`", (1, 6)),
        ('a = "\\x41"', "the escape sequence `\\xHH`", (1, 6)),
        ("a = 07:32", "a time without seconds", (1, 5)),
        ("a = 1979-05-27T07:32Z", "a time without seconds", (1, 5)),
        ("a = { b = 1,\n c = 2 }", "a newline in an inline table", (1, 13)),
        ("a = { b = 1 # c\n}", "a comment in an inline table", (1, 13)),
        ("a = { b = 1, }", "a trailing comma in an inline table", (1, 12)),
    ],
)
def test_each_newer_construct_is_named(text, construct, position):
    with pytest.raises(vexil.TomlParsingError) as info:
        vexil.loads(text, toml_version="1.0.0")
    assert info.value.msg == f"{NEWER}{construct} (added in TOML 1.1.0)"
    assert (info.value.lineno, info.value.colno) == position
    with pytest.raises(tomllib.TOMLDecodeError):
        tomllib.loads(text)
    vexil.loads(text)  # TOML 1.1.0


def test_the_example_file_is_toml_1_1(shared_dir):
    # What the issue reported: examples/example.toml passes a TOML 1.1.0
    # check but not one as TOML 1.0.0, as tomllib on 3.11-3.13 refuses it.
    from conftest import ROOT

    data = (ROOT / "examples" / "example.toml").read_bytes()
    vexil.loads(data)
    try:
        tomllib.loads(data.decode())
    except tomllib.TOMLDecodeError:
        with pytest.raises(vexil.TomlParsingError, match=NEWER):
            vexil.loads(data, toml_version="1.0.0")
    else:
        assert comparable(vexil.loads(data, toml_version="1.0.0")) == comparable(tomllib.loads(data.decode()))
