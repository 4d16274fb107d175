"""deserialize: the Python objects built for each TOML value, none_value, and
the TomlParsingError messages with their line and column."""

import math
import re
import struct
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from vexil import _vexil

deserialize = _vexil.deserialize
TomlParsingError = _vexil.TomlParsingError


def same(a, b):
    """Equal and of exactly the same types, all the way down."""
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(map(same, a, b))
    if isinstance(a, float) and math.isnan(a):
        return math.isnan(b)
    return a == b


def parse_error(text, none_value=None):
    with pytest.raises(TomlParsingError) as info:
        deserialize(text, none_value)
    return str(info.value)


@pytest.mark.parametrize(
    "text, expected",
    [
        ("", {}),
        ("# only a comment\n\n", {}),
        ("a = 'x'\nb = \"y\"", {"a": "x", "b": "y"}),
        ('a = """\nline 1\nline 2"""', {"a": "line 1\nline 2"}),
        ("a = '''\n\\n raw'''", {"a": "\\n raw"}),
        ('a = "tab\\there \\u00e9 \\U0001F600 \\x41 \\e"', {"a": "tab\there \u00e9 \U0001F600 A \x1b"}),
        ('a = "\\u0000"', {"a": "\x00"}),
        ('a = "x\\u0000y"', {"a": "x\x00y"}),
        ("a = true\nb = false", {"a": True, "b": False}),
        ("a = 1_000\nb = -17\nc = +5\nd = 0", {"a": 1000, "b": -17, "c": 5, "d": 0}),
        ("a = 0xdead_beef\nb = 0o755\nc = 0b1101", None),
        ("a = 3.25\nb = -1e-3\nc = 6.02e23", {"a": 3.25, "b": -1e-3, "c": 6.02e23}),
        ("a = []\nb = {}\nc = [[], {}]", {"a": [], "b": {}, "c": [[], {}]}),
        ("a = [1, 'two', 3.0, [4], {five = 5}]", {"a": [1, "two", 3.0, [4], {"five": 5}]}),
        ("[[t]]\nx = 1\n[[t]]\n[[t]]\nx = 3", {"t": [{"x": 1}, {}, {"x": 3}]}),
        ("a.b.c = 1\na.d = 2\n[e.f]\ng = 3", {"a": {"b": {"c": 1}, "d": 2}, "e": {"f": {"g": 3}}}),
        ("p = {x = 1, y = {z = [1, 2]}}", {"p": {"x": 1, "y": {"z": [1, 2]}}}),
        ('p = {\n  x = 1,\n  y = 2, # comment\n}', {"p": {"x": 1, "y": 2}}),
        ('"" = 1\n"a\\u0000b" = 2\n"é" = 3\n\'lit.eral\' = 4', {"": 1, "a\x00b": 2, "é": 3, "lit.eral": 4}),
    ],
)
def test_values(text, expected):
    if expected is None:
        expected = {"a": 0xDEADBEEF, "b": 0o755, "c": 0b1101}
    assert same(deserialize(text), expected)


def test_keys_keep_document_order():
    result = deserialize("b = 1\na = 2\n[z]\n[y]\nd = 1\n[z.c]\n")
    assert list(result) == ["b", "a", "z", "y"]
    assert list(result["z"]) == ["c"]


def test_large_table_and_array():
    count = 20_000
    text = "".join(f"k{i} = {i}\n" for i in range(count)) + "arr = [" + ", ".join(map(str, range(count))) + "]\n"
    result = deserialize(text)
    assert len(result) == count + 1
    assert list(result)[:3] == ["k0", "k1", "k2"]
    assert all(result[f"k{i}"] == i for i in range(count))
    assert result["arr"] == list(range(count))


def test_large_tables_and_arrays_built_in_blocks_of_their_own():
    # Tables and arrays past about a megabyte move to blocks of their own
    # while they are read; their contents, key lookups and duplicate checks
    # must come through the move unchanged.
    keys = 60_000
    lines = [f"k{i} = {i}\n" for i in range(keys)]
    lines.insert(keys // 2, 'mid = [' + ", ".join(f'[{i}, "s\\t{i}"]' for i in range(40_000)) + ']\n')
    text = "".join(lines)
    result = deserialize(text)
    assert len(result) == keys + 1
    assert all(result[f"k{i}"] == i for i in range(keys))
    assert result["mid"] == [[i, f"s\t{i}"] for i in range(40_000)]
    assert list(result)[keys // 2] == "mid"
    assert parse_error(text + "k123 = 5\n").startswith("duplicate key: `k123`")
    assert deserialize("a = [" + "1, " * 100_000 + "{x = [2]}]")["a"][-2:] == [1, {"x": [2]}]


def test_deep_nesting_within_the_parsers_limit():
    depth = 127
    value = deserialize("a = " + "[" * depth + "]" * depth)["a"]
    for _ in range(depth - 1):
        assert len(value) == 1
        value = value[0]
    assert value == []


@pytest.mark.parametrize(
    "text, expected",
    [
        # each [[a.b]] goes to the element of a made last
        ("[[a]]\n[[a.b]]\nx = 1\n[[a.b]]\ny = 2\n[[a]]\n[[a.b]]\nz = 3\n[a.b.c]\nw = 4\n",
         {"a": [{"b": [{"x": 1}, {"y": 2}]}, {"b": [{"z": 3, "c": {"w": 4}}]}]}),
        ("[[a]]\n[a.b]\nx = 1\n[[a]]\n[a.b]\nx = 2\n", {"a": [{"b": {"x": 1}}, {"b": {"x": 2}}]}),
        # siblings, parents defined after their children, dotted tables walked through
        ("[a.b]\nx = 1\n[a.c]\ny = 2\n[a]\nz = 3\n", {"a": {"b": {"x": 1}, "c": {"y": 2}, "z": 3}}),
        ("[a]\nb.c = 1\n[a.b.d]\ne = 2\n", {"a": {"b": {"c": 1, "d": {"e": 2}}}}),
        ('[a."b.c"]\nx = 1\n[a.b]\ny = 2\n[ a . "b.c" . d ]\nz = 3\n',
         {"a": {"b.c": {"x": 1, "d": {"z": 3}}, "b": {"y": 2}}}),
    ],
)
def test_headers_that_repeat_a_path(text, expected):
    # A header may resume the walk of the header before it; the result must
    # be the one a walk from the root gives.
    assert same(deserialize(text), expected)


@pytest.mark.parametrize(
    "text, message",
    [
        ("[a]\nx = {y = 1}\n[a.x.z]\n", "cannot add to the inline table `a.x`"),
        ("[a]\nx = 1\n[a.x.z]\n", "cannot use `a.x` as a table: it is already an integer"),
        ("[[a.b]]\n[a]\n[a.b]\n", "conflicts with the array of tables"),
        ("[a.b]\n[a]\n[a.b]\n", "table `a.b` defined twice"),
    ],
)
def test_headers_that_repeat_a_path_errors(text, message):
    assert message in parse_error(text)


@pytest.mark.parametrize(
    "text",
    ["abc", "", "x", "\x00", "x" * 1000, "tab\tand\x7f", "é", "ÿ", "ĀĀ", "€uro", "\U0001F600", "a\x00b",
     "é" + "abcdefgh" * 3 + "€" + "z" * 17 + "\U0001F600" + "q" * 7, "ascii first, then ÿ",
     # long enough that the UTF-8 is measured in several batches of blocks
     "é€\U0001F600a" * 1200, "x" * 4079 + "é" * 10 + "日本語" * 700],
)
def test_strings_and_keys_are_ordinary_compact_str(text):
    # The ASCII fast path must give the same str object layout as decoding
    # the UTF-8 bytes would (compact ASCII), for values and keys alike.
    escaped = text.encode("unicode_escape").decode("ascii").replace('"', '\\"').replace("\\x", "\\u00")
    result = deserialize(f'"{escaped}" = "{escaped}"')
    ((key, value),) = result.items()
    reference = text.encode("utf-8").decode("utf-8")
    for built in (key, value):
        assert type(built) is str
        assert built == reference
        assert built.isascii() == reference.isascii()
        assert sys.getsizeof(built) == sys.getsizeof(reference)
        assert hash(built) == hash(reference)
        if len(reference) == 1 and ord(reference) < 256:
            assert built is reference  # the interpreter's shared one-character str


class TestNoneValue:
    def test_only_string_values_equal_to_it_become_none(self):
        text = (
            "a = 'null'\nb = 'Null'\nnull = 1\nc = ['null', 'x']\nd = {e = 'null'}\n"
            "f = \"null\"\ng = '''null'''\nh = 1979-05-27\ni = 'nullx'\n"
        )
        assert same(
            deserialize(text, "null"),
            {"a": None, "b": "Null", "null": 1, "c": [None, "x"], "d": {"e": None},
             "f": None, "g": None, "h": deserialize("h = 1979-05-27")["h"], "i": "nullx"},
        )

    @pytest.mark.parametrize("none_value", [None, "absent"])
    def test_without_it_no_string_becomes_none(self, none_value):
        assert deserialize("a = 'null'\nb = ''", none_value) == {"a": "null", "b": ""}

    def test_empty_none_value_turns_empty_strings_into_none(self):
        assert deserialize("a = ''\nb = ' '\n'' = ''", "") == {"a": None, "b": " ", "": None}

    @pytest.mark.parametrize("none_value", ["1", "true", "1.5", "1979-05-27", "[]", "x"])
    def test_other_kinds_and_keys_never_become_none(self, none_value):
        text = "x = 1\ny = true\nz = 1.5\nd = 1979-05-27\ne = []"
        assert None not in deserialize(text, none_value).values()

    def test_non_ascii_and_nul(self):
        assert deserialize('a = "é\\u0000"\nb = "é"', "é\x00") == {"a": None, "b": "é"}


@pytest.mark.parametrize(
    "literal, value",
    [
        ("9223372036854775807", 2**63 - 1),
        ("-9223372036854775808", -(2**63)),
        ("9223372036854775808", 2**63),
        ("-9223372036854775809", -(2**63) - 1),
        ("18446744073709551615", 2**64 - 1),
        ("18446744073709551616", 2**64),
        ("-18446744073709551616", -(2**64)),
        ("170141183460469231731687303715884105727", 2**127 - 1),
        ("170141183460469231731687303715884105728", 2**127),
        ("-170141183460469231731687303715884105728", -(2**127)),
        ("340282366920938463463374607431768211455", 2**128 - 1),
        ("0xffffffffffffffff", 2**64 - 1),
        ("0x7fffffffffffffff", 2**63 - 1),
        ("0x8000000000000000", 2**63),
        ("0xffffffffffffffffffffffffffffffff", 2**128 - 1),
        ("0o3777777777777777777777777777777777777777777", 2**128 - 1),
        ("0b" + "1" * 128, 2**128 - 1),
        ("0b1" + "0" * 64, 2**64),
        ("-0", 0),
        ("+0", 0),
        ("1_2_3", 123),
    ],
)
def test_integer_ranges(literal, value):
    result = deserialize(f"a = {literal}\nb = [{literal}]")
    assert type(result["a"]) is int
    assert result == {"a": value, "b": [value]}


@pytest.mark.parametrize(
    "literal",
    [
        "340282366920938463463374607431768211456",
        "-170141183460469231731687303715884105729",
        "0x1" + "0" * 32,
        "9" * 100,
    ],
)
def test_integer_overflow(literal):
    assert parse_error(f"a = {literal}") == "integer number overflowed at line 1 column 5"


@pytest.mark.parametrize(
    "literal, check",
    [
        ("inf", lambda x: x == math.inf),
        ("+inf", lambda x: x == math.inf),
        ("-inf", lambda x: x == -math.inf),
        ("nan", math.isnan),
        ("+nan", math.isnan),
        ("-nan", math.isnan),
        ("-0.0", lambda x: x == 0 and math.copysign(1, x) == -1),
        ("0.0", lambda x: x == 0 and math.copysign(1, x) == 1),
        ("1e-400", lambda x: x == 0),
        ("5e-324", lambda x: x == struct.unpack("<d", b"\x01" + b"\0" * 7)[0]),
        ("1.7976931348623157e308", lambda x: x == sys.float_info.max),
        ("0.1", lambda x: x == 0.1),
        ("1_000.000_1", lambda x: x == 1000.0001),
        ("9007199254740993.0", lambda x: x == 9007199254740992.0),
    ],
)
def test_floats(literal, check):
    value = deserialize(f"a = {literal}")["a"]
    assert type(value) is float
    assert check(value)


@pytest.mark.parametrize("literal", ["1e400", "-1e400", "1.8e308", "179769313486231580793728971405303415079934132710037826936173778980444968292764750946649017977587207096330286416692887910946555547851940402630657488671505820681908902000708383676273854845817711531764475730270069855571366959622842914819860834936475292719074168444365510704342711559699508093042880177904174497792.0"])
def test_float_overflow(literal):
    assert parse_error(f"x = [1,\n  {literal}]") == "floating-point number overflowed at line 2 column 3"


class TestErrorPositions:
    """Line and column are counted over the input: line feeds only, code points
    for the column."""

    @pytest.mark.parametrize(
        "text, line, column",
        [
            ("a = 99999999999999999999999999999999999999999", 1, 5),
            ("a = 1\nb = 2\nc = 99999999999999999999999999999999999999999", 3, 5),
            ("a = 1\r\nb = 2\r\nc = 99999999999999999999999999999999999999999", 3, 5),
            ('"é" = 99999999999999999999999999999999999999999', 1, 7),
            ('x = ["é", 99999999999999999999999999999999999999999]', 1, 11),
            ('x = ["\U0001F600\t€", 99999999999999999999999999999999999999999]', 1, 13),
            ('x = """\n\n"""\ny = [{z = [1, 99999999999999999999999999999999999999999]}]', 4, 15),
        ],
    )
    def test_building_failure_at_the_value(self, text, line, column):
        assert parse_error(text) == f"integer number overflowed at line {line} column {column}"

    @pytest.mark.parametrize(
        "text, line, column",
        [
            ("= 1", 1, 1),
            ("a = 1\nb = 2\n= 3", 3, 1),
            ("a = 1\r\nb = 2\r\n= 3", 3, 1),
            ("a = 1\n\n\n   = 3", 4, 4),
            ("é = 1", 1, 1),
            ('a = "é"\nb = "x" = 1', 2, 9),
            # Errors at the end of the input.
            ("x = [1, 2", 1, 10),
            ("a = 1\nb = [1,\n", 3, 1),
            ("a = 1\r\nb = [1,\r\n", 3, 1),
        ],
    )
    def test_parse_error_position(self, text, line, column):
        message = parse_error(text)
        assert message.endswith(f" at line {line} column {column}")
        assert not message.startswith(" at line")

    def test_message_shape(self):
        message = parse_error("a = 1\na = 2")
        assert re.fullmatch(r".+ at line 2 column \d+", message, re.S)


@settings(max_examples=300, deadline=None)
@given(st.text(st.characters(exclude_categories=("Cs", "Cc"), exclude_characters="'")))
def test_any_text_reads_back_as_the_same_str(text):
    # Literal strings hold the text as it is, so this checks the UTF-8 decoding
    # of values and keys against the interpreter's own, object layout included.
    # The second key is an apostrophe, which the text never holds.
    result = deserialize(f"'{text}' = '{text}'\n\"'\" = ['{text}']")
    reference = text.encode("utf-8").decode("utf-8")
    ((key, value), (_, array)) = result.items()
    for built in (key, value, array[0]):
        assert built == reference
        assert sys.getsizeof(built) == sys.getsizeof(reference)
        if reference == "" or (len(reference) == 1 and ord(reference) < 256):
            assert built is reference  # the interpreter's shared empty or one-character str
