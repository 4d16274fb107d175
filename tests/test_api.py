"""The vexil package API: loads/load/dumps/dump over text, bytes, files and paths."""

import datetime
import io
import os
import pathlib

import pytest

import vexil
from vexil import _vexil

DOC = 'title = "café"\n[owner]\nborn = 1979-05-27T07:32:00Z\n'


def test_reexports_are_the_core_objects():
    assert vexil.TomlParsingError is _vexil.TomlParsingError
    assert vexil.TOMLDecodeError is _vexil.TomlParsingError
    assert vexil.TomlSerializationError is _vexil.TomlSerializationError
    assert issubclass(vexil.TOMLDecodeError, ValueError)
    for name in ("deserialize", "serialize", "serialize_pretty"):
        assert getattr(vexil, name) is getattr(_vexil, name)
    assert set(vexil.__all__) <= set(dir(vexil))


def test_version_is_defined_once():
    from importlib.metadata import version

    assert vexil.__version__ == _vexil.__version__ == version("vexil")


@pytest.mark.parametrize("source", [DOC, DOC.encode(), bytearray(DOC.encode()), b"\xef\xbb\xbf" + DOC.encode()])
def test_loads_text_and_bytes(source):
    doc = vexil.loads(source)
    assert doc["title"] == "café"
    assert doc["owner"]["born"].utcoffset() == datetime.timedelta(0)


def test_loads_none_value():
    assert vexil.loads('a = "nil"\nb = "x"', none_value="nil") == {"a": None, "b": "x"}


def test_load_from_binary_text_file_and_path(tmp_path):
    path = tmp_path / "doc.toml"
    path.write_bytes(DOC.encode())
    with open(path, "rb") as fp:
        assert vexil.load(fp)["title"] == "café"
    with open(path, encoding="utf-8") as fp:
        assert vexil.load(fp)["title"] == "café"
    assert vexil.load(path)["title"] == "café"
    assert vexil.load(str(path))["title"] == "café"
    assert vexil.load(io.BytesIO(DOC.encode()))["title"] == "café"
    assert vexil.load(io.StringIO(DOC))["title"] == "café"


@pytest.mark.parametrize(
    "data, lineno, colno",
    [
        (b'a = "\xff"', 1, 6),
        (b'a = 1\nb = "\xc3\xa9\xe2\x28"', 2, 7),
    ],
)
def test_invalid_utf8_is_a_parsing_error_with_position(data, lineno, colno, tmp_path):
    with pytest.raises(vexil.TomlParsingError) as info:
        vexil.loads(data)
    err = info.value
    assert (err.lineno, err.colno) == (lineno, colno)
    assert "invalid UTF-8" in str(err) and "offset" in str(err)
    assert not isinstance(err, UnicodeDecodeError)
    path = tmp_path / "bad.toml"
    path.write_bytes(data)
    with pytest.raises(vexil.TomlParsingError):
        vexil.load(path)


def test_parse_error_attributes_keep_the_core_message():
    with pytest.raises(vexil.TOMLDecodeError) as info:
        vexil.loads("a = 1\nb = \n")
    err = info.value
    assert len(err.args) == 1 and str(err) == err.args[0]
    assert err.args[0].endswith(f" at line {err.lineno} column {err.colno}")
    assert err.lineno == 2
    assert err.msg == err.args[0][: err.args[0].rindex(" at line ")]


def test_parse_error_without_position_has_none_attributes():
    # Every error _vexil reports has a position; one without keeps its text.
    err = vexil._with_position(vexil.TomlParsingError("bare message"))
    assert (err.msg, err.lineno, err.colno) == ("bare message", None, None)
    assert err.args == ("bare message",)


def test_dumps_layouts_and_none_value():
    obj = {"a": [1, 2], "n": None}
    assert vexil.dumps(obj) == "a = [1, 2]\n"
    assert vexil.dumps(obj, pretty=True) == "a = [\n    1,\n    2,\n]\n"
    assert vexil.dumps(obj, none_value="nil") == 'n = "nil"\na = [1, 2]\n'


def test_dump_to_files_and_paths(tmp_path):
    obj = {"title": "café", "lines": "one\ntwo"}
    expected = vexil.dumps(obj).encode()
    assert b"\r" not in expected
    binary = io.BytesIO()
    vexil.dump(obj, binary)
    assert binary.getvalue() == expected
    text = io.StringIO()
    vexil.dump(obj, text)
    assert text.getvalue().encode() == expected
    path = tmp_path / "out.toml"
    vexil.dump(obj, path)
    assert path.read_bytes() == expected
    vexil.dump(obj, str(path), pretty=True)
    assert path.read_bytes() == vexil.dumps(obj, pretty=True).encode()
    with open(path, "wb") as fp:
        vexil.dump(obj, fp)
    with open(path, "w", encoding="utf-8") as fp:
        vexil.dump(obj, fp)
    assert path.read_bytes() == expected


def test_failed_dump_leaves_existing_file_untouched(tmp_path):
    path = tmp_path / "keep.toml"
    path.write_text("original = true\n")
    os.chmod(path, 0o640)
    with pytest.raises(vexil.TomlSerializationError):
        vexil.dump({"bad": {1, 2}}, path)
    assert path.read_text() == "original = true\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["keep.toml"]
    vexil.dump({"new": 1}, path)
    assert path.read_text() == "new = 1\n"
    assert os.stat(path).st_mode & 0o777 == 0o640


def test_round_trip_through_files(tmp_path):
    obj = {"int": 2**100, "float": 0.1, "when": datetime.date(2024, 1, 5), "t": {"x": [1, 2]}}
    path = tmp_path / "rt.toml"
    vexil.dump(obj, path)
    assert vexil.load(path) == obj
    assert vexil.load(pathlib.Path(path)) == obj
