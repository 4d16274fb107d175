"""vexil.loads/load through the package's native module: str and bytes-like
input (bytes parsed in place, invalid UTF-8 reported with its position) and
parse_float with tomllib's contract."""

import array
import decimal
import io
import tomllib

import pytest

import vexil
from vexil import _native, _vexil
from conftest import blocks_growth


def conformance_cases(shared_dir):
    root = shared_dir / "toml-test"
    names = (root / "files-toml-1.1.0").read_text(encoding="utf-8").split()
    return [(name, (root / name).read_bytes()) for name in names if name.endswith(".toml")]


def outcome(call):
    try:
        return ("ok", repr(call()))  # repr: nan equals nan
    except vexil.TomlParsingError as err:
        return ("error", str(err))


def test_bytes_read_as_the_str_they_encode(shared_dir):
    # Every toml-test document, valid or not: bytes straight to the parser
    # give what deserialize gives for the decoded text, messages included.
    checked = 0
    for name, data in conformance_cases(shared_dir):
        try:
            text = data.decode("utf-8")
        except UnicodeDecodeError:
            continue
        expected = outcome(lambda: _vexil.deserialize(text))
        assert outcome(lambda: _native.loads(data)) == expected, name
        assert outcome(lambda: _native.loads(text)) == expected, name
        checked += 1
    assert checked > 650


def test_invalid_utf8_cases_of_the_suite_fail_with_their_position(shared_dir):
    undecodable = []
    for name, data in conformance_cases(shared_dir):
        try:
            data.decode("utf-8")
        except UnicodeDecodeError as err:
            undecodable.append((name, data, err.start))
    assert undecodable
    for name, data, start in undecodable:
        with pytest.raises(vexil.TomlParsingError) as info:
            vexil.loads(data)
        assert f"invalid UTF-8 (byte 0x{data[start]:02x} at offset {start})" in str(info.value), name
        assert info.value.lineno == data[:start].count(b"\n") + 1, name


def old_message(data):
    """The report the package made when it decoded bytes in Python first."""
    err = None
    try:
        data.decode("utf-8")
    except UnicodeDecodeError as exc:
        err = exc
    before = data[: err.start]
    line_start = before.rfind(b"\n") + 1
    column = 1 + sum(1 for b in before[line_start:] if b & 0xC0 != 0x80)
    line = before.count(b"\n") + 1
    return f"invalid UTF-8 (byte 0x{data[err.start]:02x} at offset {err.start}) at line {line} column {column}"


@pytest.mark.parametrize(
    "data",
    [
        b'a = "\xff"',
        b'a = 1\nb = "\xc3\xa9\xe2\x28"',
        b'a = "\x80"',  # a stray continuation byte is not folded into the character before it
        b'a = "\xc3\xa9\x80"',
        b"# \xc0\x80 overlong\n",
        b'a = "\xed\xa0\x80"',  # a surrogate
        b'a = "\xf4\x90\x80\x80"',  # above U+10FFFF
        b'a = "\xe2\x82"',  # cut short at the end
        b"\xff = 1",
        b"a = 1 # \xfe\n",
        b"a = '''\n\xe9t\xe9\n'''",
        b'[t]\nk = "\xf0\x9f\x98"\n',
    ],
)
def test_invalid_utf8_message_is_the_one_made_before(data):
    with pytest.raises(vexil.TomlParsingError) as info:
        vexil.loads(data)
    assert str(info.value) == old_message(data)
    assert not isinstance(info.value, UnicodeDecodeError)


@pytest.mark.parametrize(
    "make",
    [bytes, bytearray, memoryview, lambda b: memoryview(bytearray(b)), lambda b: array.array("B", b)],
    ids=["bytes", "bytearray", "memoryview", "memoryview-bytearray", "array"],
)
def test_bytes_like_inputs(make):
    data = 'title = "café"\nn = [1, 2.5]\n'.encode()
    assert vexil.loads(make(data)) == {"title": "café", "n": [1, 2.5]}
    assert vexil.load(io.BytesIO(data)) == vexil.loads(data.decode())


@pytest.mark.parametrize(
    "value, error, text",
    [
        (1, TypeError, "'int' object is not an instance of 'str' or a bytes-like object"),
        (None, TypeError, "'NoneType' object is not an instance of 'str' or a bytes-like object"),
        (memoryview(b"a = 1  ")[::2], BufferError, "contiguous"),
        ("a = '\ud800'", UnicodeEncodeError, "surrogates not allowed"),
    ],
)
def test_unreadable_inputs(value, error, text):
    with pytest.raises(error, match=text) as info:
        vexil.loads(value)
    assert info.value.__notes__ == ["while processing 'data'"]


def test_a_byte_order_mark_is_skipped_in_bytes_and_str():
    assert vexil.loads(b"\xef\xbb\xbfa = 1") == vexil.loads("\ufeffa = 1") == {"a": 1}


def test_load_takes_any_reader():
    class Reader:
        def __init__(self, data):
            self.data = data

        def read(self):
            return self.data

    assert vexil.load(Reader(b"a = 1")) == vexil.load(Reader("a = 1")) == {"a": 1}
    assert vexil.load(Reader(bytearray(b"a = 1"))) == {"a": 1}
    with pytest.raises(TypeError, match="read\\(\\) returned int"):
        vexil.load(Reader(1))


# --- parse_float ---------------------------------------------------------------

FLOATS = """\
plain = 1.5
signed = [+1.0, -0.0, -2.5]
exponents = [1e3, 1E+1_0, 6.626e-34, -1e-07]
underscores = 1_000.000_1
special = [inf, +inf, -inf, nan, +nan, -nan]
huge = 1e400
[t]
inline = { f = 3.25, i = 3 }
nested = [[0.5], [{ x = 0.25 }]]
"""


def calls(loader, text):
    seen = []

    def record(s):
        seen.append(s)
        return ("float", s)

    return loader(text, parse_float=record), seen


def test_parse_float_gets_each_float_as_written_like_tomllib():
    ours, our_calls = calls(vexil.loads, FLOATS)
    theirs, their_calls = calls(tomllib.loads, FLOATS)
    assert ours == theirs
    assert our_calls == their_calls
    assert "1E+1_0" in our_calls and "-nan" in our_calls and "1e400" in our_calls


@pytest.mark.parametrize("hook", [decimal.Decimal, float, str, lambda s: None])
def test_parse_float_results_match_tomllib(hook):
    assert repr(vexil.loads(FLOATS, parse_float=hook)) == repr(tomllib.loads(FLOATS, parse_float=hook))


def test_parse_float_decimal_keeps_digits_and_float_keeps_overflow_to_inf():
    doc = vexil.loads(b"a = 0.1\nb = 1e400", parse_float=decimal.Decimal)
    assert doc == {"a": decimal.Decimal("0.1"), "b": decimal.Decimal("1e400")}
    assert vexil.loads("b = 1e400", parse_float=float) == {"b": float("inf")}  # as tomllib
    with pytest.raises(vexil.TomlParsingError, match="overflowed"):
        vexil.loads("b = 1e400")


def test_parse_float_is_not_called_for_other_values():
    def refuse(s):
        raise AssertionError(s)

    text = 'i = 1\nh = 0x1F\nd = 1979-05-27\nt = 07:32:00.5\ns = "1.5"\n[x]\n"1.5" = true\n'
    assert vexil.loads(text, parse_float=refuse) == vexil.loads(text)


@pytest.mark.parametrize("result", [{}, [], {"a": 1}, type("L", (list,), {})()])
def test_parse_float_may_not_return_a_table_or_an_array(result):
    for loader in (vexil.loads, tomllib.loads):
        with pytest.raises(ValueError) as info:
            loader("a = [1.5]", parse_float=lambda s: result)
        assert str(info.value) == "parse_float must not return dicts or lists"
        assert not isinstance(info.value, vexil.TomlParsingError)


def test_an_exception_from_parse_float_propagates_unchanged():
    raised = KeyError("mine")

    def hook(s):
        raise raised

    with pytest.raises(KeyError) as info:
        vexil.loads("a = 'x'\nb = [1, {c = 2.5}]", parse_float=hook)
    assert info.value is raised


def test_parse_float_sees_an_unchanged_document_while_it_runs():
    # The bytearray is copied: changing it from the hook cannot reach the
    # strings that are still to be built.
    data = bytearray(b'a = 1.5\nb = "after"\n')

    def scribble(s):
        data[:] = b"x" * len(data)
        return float(s)

    assert vexil.loads(data, parse_float=scribble) == {"a": 1.5, "b": "after"}


def test_parse_float_with_none_value_and_syntax_errors():
    assert vexil.loads("a = 'nil'\nb = 2.5", none_value="nil", parse_float=str) == {"a": None, "b": "2.5"}
    with pytest.raises(vexil.TomlParsingError) as info:
        vexil.loads("a = 2.5\nb = ", parse_float=str)
    assert (info.value.lineno, info.value.colno) == (2, 5)


@pytest.mark.parametrize("hook, error", [(1, "parse_float must be callable or None, not 'int'"), ("x", "not 'str'")])
def test_parse_float_must_be_callable(hook, error):
    with pytest.raises(TypeError, match=error):
        vexil.loads("a = 1", parse_float=hook)


@pytest.mark.parametrize("version", ["1.2.0", "1.0", "", None, 1.0, b"1.0.0"])
def test_unknown_toml_versions_are_refused(version):
    with pytest.raises(ValueError, match="toml_version must be"):
        vexil.loads("a = 1", toml_version=version)


def test_options_are_keyword_only():
    with pytest.raises(TypeError, match="takes 1 positional argument but 2 were given"):
        _native.loads("a = 1", None)
    with pytest.raises(TypeError, match="unexpected keyword argument 'parse_int'"):
        vexil.loads("a = 1", parse_int=int)


# --- No leaks on the new paths ---------------------------------------------------


def test_reading_options_leak_nothing():
    good = FLOATS.replace("1e400", "1e300").encode()

    def hook_raises(s):
        raise ValueError(s)

    def call():
        _native.loads(good)
        _native.loads(bytearray(good), parse_float=decimal.Decimal)
        _native.loads(memoryview(good), none_value="x", parse_float=str)
        for data, kwargs in [
            (b'a = "\xff"', {}),
            (bytearray(b"a = [1.5, 2.5]"), {"parse_float": hook_raises}),
            (b"a = [1.5, {b = 2.5}]", {"parse_float": lambda s: []}),
            (b"a = 1\nb = [1, 2", {}),
            (b"a = 1", {"toml_version": "2"}),
            (1, {}),
        ]:
            try:
                _native.loads(data, **kwargs)
            except (ValueError, TypeError):
                pass

    assert blocks_growth(call, 50) < 100
