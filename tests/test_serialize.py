"""serialize / serialize_pretty: entry points, the type table, the None rule,
the nesting limit, messages, and the text of every kind of value and key."""

import collections
import datetime as dt
import decimal
import enum
import fractions
import subprocess
import sys

import pytest

from vexil import _vexil
from vexil._vexil import TomlSerializationError, serialize, serialize_pretty

WRITERS = [serialize, serialize_pretty]


@pytest.fixture(scope="module")
def TzInfo():
    """The module's time zone class, reached through a parsed offset date-time."""
    return type(_vexil.deserialize("x = 2000-01-01T00:00:00Z")["x"].tzinfo)


def fails(obj, message, **kwargs):
    """Both writers refuse obj with exactly this TomlSerializationError text."""
    for write in WRITERS:
        with pytest.raises(TomlSerializationError) as info:
            write(obj, **kwargs)
        assert info.value.args == (message,)


def value_text(value, **kwargs):
    """The text of one value, written as the only entry of a root table."""
    text = serialize({"v": value}, **kwargs)
    assert text.startswith("v = ") and text.endswith("\n")
    return text[4:-1]


def not_serializable(obj):
    return f"{obj!r} ({type(obj).__name__}) is not serializable to TOML"


# --- Entry points ---------------------------------------------------------------


@pytest.mark.parametrize("write", WRITERS, ids=lambda f: f.__name__)
def test_function_attributes(write):
    assert write.__text_signature__ == "(obj, none_value=None)"
    assert write.__doc__ is None
    assert write.__module__ is None
    assert write.__self__ is None


@pytest.mark.parametrize("write", WRITERS, ids=lambda f: f.__name__)
@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "{}() missing 1 required positional argument: 'obj'"),
        (({}, None, 3), {}, "{}() takes from 1 to 2 positional arguments but 3 were given"),
        (({},), {"none": "x"}, "{}() got an unexpected keyword argument 'none'"),
        (({},), {"obj": {}}, "{}() got multiple values for argument 'obj'"),
        ((), {"none_value": "x"}, "{}() missing 1 required positional argument: 'obj'"),
    ],
)
def test_argument_errors(write, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        write(*args, **kwargs)
    assert str(info.value) == message.format(write.__name__)


@pytest.mark.parametrize("write", WRITERS, ids=lambda f: f.__name__)
def test_keywords_in_either_order(write):
    assert write(none_value="nil", obj={"a": None}) == 'a = "nil"\n'
    assert write(obj={"a": None}, none_value="nil") == 'a = "nil"\n'


class Text(str):
    pass


class Tagged(str):
    """A str subclass that is its own key: equal only to itself."""

    __hash__ = object.__hash__

    def __eq__(self, other):
        return self is other


@pytest.mark.parametrize("write", WRITERS, ids=lambda f: f.__name__)
@pytest.mark.parametrize(
    "none_value, error, message",
    [
        (0, TypeError, "'int' object is not an instance of 'str'"),
        (b"nil", TypeError, "'bytes' object is not an instance of 'str'"),
        ("\ud800", UnicodeEncodeError, None),
    ],
)
def test_bad_none_value_is_reported_before_obj(write, none_value, error, message):
    # obj is itself not writable; the none_value error still comes first.
    with pytest.raises(error) as info:
        write(object(), none_value=none_value)
    if message is not None:
        assert str(info.value) == message
    assert info.value.__notes__ == ["while processing 'none_value'"]


def test_none_value_forms():
    assert serialize({"a": None}, none_value=Text("nil")) == 'a = "nil"\n'
    assert serialize({"a": None}, none_value=None) == ""
    assert serialize({"a": None}, none_value="") == 'a = ""\n'


def test_serialization_error_is_a_value_error():
    assert issubclass(TomlSerializationError, ValueError)
    with pytest.raises(ValueError) as info:
        serialize({"a": {1, 2}})
    assert type(info.value) is TomlSerializationError
    assert info.value.args == ("{1, 2} (set) is not serializable to TOML",)


# --- The top-level object ----------------------------------------------------


@pytest.mark.parametrize(
    "obj, kwargs, text",
    [
        ({}, {}, ""),
        ({"a": 1}, {}, "a = 1\n"),
        ([1, 2], {}, "[1, 2]"),
        ((1, [2, 3]), {}, "[1, [2, 3]]"),
        (1, {}, "1"),
        ("x", {}, '"x"'),
        (None, {}, '"null"'),
        (None, {"none_value": "nil"}, '"nil"'),
        (None, {"none_value": ""}, '""'),
        ([None, 1, None], {}, "[1]"),
        ({"a": 1, "b": [1, 2]}, {}, "a = 1\nb = [1, 2]\n"),
    ],
)
def test_top_level(obj, kwargs, text):
    # Only a root dict turns the pretty layout on.
    assert serialize(obj, **kwargs) == text
    if type(obj) is not dict:
        assert serialize_pretty(obj, **kwargs) == text


def test_dict_subclass_at_the_top_is_a_value():
    obj = collections.OrderedDict(a=1)
    fails(obj, not_serializable(obj))


# --- Type classification --------------------------------------------------------


class Int(int):
    pass


class Float(float):
    pass


class List(list):
    pass


Point = collections.namedtuple("Point", "x y")


@pytest.mark.parametrize(
    "value",
    [
        Int(3),
        Float(1.5),
        Text("x"),
        List([1]),
        Point(1, 2),
        collections.OrderedDict(a=1),
        collections.defaultdict(int, a=1),
        {1, 2},
        frozenset({1}),
        decimal.Decimal("1.5"),
        fractions.Fraction(1, 3),
        1 + 2j,
        object,
        range(3),
        memoryview(b"ab"),
    ],
    ids=lambda v: type(v).__name__,
)
def test_unsupported_values(value):
    # Identity tests: a subclass of a supported type is not that type.
    fails({"a": value}, not_serializable(value))
    fails({"t": {"a": [1, value]}}, not_serializable(value))
    fails([value], not_serializable(value))


def test_true_is_a_boolean_not_an_integer():
    assert serialize({"a": True, "b": False, True: 1}) == "a = true\nb = false\ntrue = 1\n"


def test_raising_repr_names_the_type_alone():
    class Stubborn:
        def __repr__(self):
            raise RuntimeError("no")

    fails({"a": Stubborn()}, "Stubborn is not serializable to TOML")
    fails({Stubborn(): 1}, "Stubborn is not serializable as a TOML key")


def test_repr_with_lone_surrogate_is_replaced():
    class Odd:
        def __repr__(self):
            return "odd\ud800"

    fails({"a": Odd()}, "odd\ufffd (Odd) is not serializable to TOML")


# --- The None rule ------------------------------------------------------------------


@pytest.mark.parametrize(
    "obj, absent, nil",
    [
        ({"a": None, "b": 1}, "b = 1\n", 'a = "nil"\nb = 1\n'),
        ({None: 1, "b": 2}, "b = 2\n", "nil = 1\nb = 2\n"),
        ({"t": {"a": None}}, "[t]\n", '[t]\na = "nil"\n'),
        ({"a": [1, None, 2]}, "a = [1, 2]\n", 'a = [1, "nil", 2]\n'),
        ({"a": [None, None]}, "a = []\n", 'a = ["nil", "nil"]\n'),
        ({"a": [{"b": None, "c": 1}]}, "[[a]]\nc = 1\n", '[[a]]\nb = "nil"\nc = 1\n'),
        ({"a": [1, {"b": None}]}, "a = [1, {}]\n", 'a = [1, { b = "nil" }]\n'),
        ({"x": [{"a": 1}, None]}, "[[x]]\na = 1\n", 'x = [{ a = 1 }, "nil"]\n'),
        ({"x": [None]}, "x = []\n", 'x = ["nil"]\n'),
    ],
)
def test_none_rule(obj, absent, nil):
    assert serialize(obj) == absent
    assert serialize(obj, none_value="nil") == nil


def test_none_key_with_empty_none_value():
    assert serialize({None: 1}, none_value="") == '"" = 1\n'


# --- Nesting limit ------------------------------------------------------------------

NESTING = "TOML nesting too deep, the limit is 128 levels, does the object contain itself?"


def nested_list(depth, inner=1):
    value = inner
    for _ in range(depth):
        value = [value]
    return value


def nested_dict(depth):
    value = {"a": 1}
    for _ in range(depth - 1):
        value = {"t": value}
    return value


@pytest.mark.parametrize(
    "obj, ok",
    [
        ({"a": nested_list(127)}, True),  # the root table is level 1
        ({"a": nested_list(128)}, False),
        (nested_list(128), True),
        (nested_list(129), False),
        (nested_dict(128), True),  # 128 tables
        (nested_dict(129), False),
        ({"a": [nested_dict(127)]}, True),  # an array of tables is not a level
        ({"a": [nested_dict(128)]}, False),
        ({"a": [1, nested_dict(126)]}, True),  # an inline array and inline tables are
        ({"a": [1, nested_dict(127)]}, False),
        (nested_list(127, b"ab"), True),  # bytes are an array level too
        (nested_list(128, b"ab"), False),
        ({"a": nested_list(126, bytearray(b"ab"))}, True),
        ({"a": nested_list(127, bytearray(b"ab"))}, False),
    ],
)
def test_nesting_limit(obj, ok):
    for write in WRITERS:
        if ok:
            write(obj)
        else:
            with pytest.raises(TomlSerializationError) as info:
                write(obj)
            assert info.value.args == (NESTING,)


def test_self_containing_containers():
    d = {}
    d["self"] = d
    fails(d, NESTING)
    items = []
    items.append(items)
    fails({"a": items}, NESTING)
    fails(items, NESTING)
    inline = {"x": 1}
    inline["y"] = [inline]
    fails({"a": [1, inline]}, NESTING)


REENTRANT = """
import datetime as dt
from vexil._vexil import serialize

class Zone(dt.tzinfo):
    def utcoffset(self, when):
        serialize(root)

root = {"a": [dt.datetime(2000, 1, 1, tzinfo=Zone())]}
for _ in range(%d):
    root = {"t": root}
try:
    serialize(root)
except Exception as error:
    print(type(error).__name__, "RecursionError: " in str(error))
"""


@pytest.mark.parametrize("depth", [0, 126])
def test_python_code_that_serializes_again(depth):
    # A utcoffset that writes the document it belongs to: every call walks
    # `depth` levels on the C stack before Python code calls it again. The
    # levels count toward the interpreter's recursion limit, so the chain
    # ends in a RecursionError (reported in the message) instead of a C
    # stack overflow. Run apart: the fault killed the process.
    result = subprocess.run([sys.executable, "-c", REENTRANT % depth], capture_output=True, text=True, timeout=120)
    assert (result.returncode, result.stdout) == (0, "TomlSerializationError True\n"), result.stderr


def recursion_budget():
    """How deeply nested a list can be for repr(): the C recursion the
    interpreter still allows on this thread."""
    low, high = 1, 1 << 17
    while low < high:
        middle = (low + high + 1) // 2
        try:
            repr(nested_list(middle))
            low = middle
        except RecursionError:
            high = middle - 1
    return low


def test_recursion_budget_is_given_back():
    # Every level, left on success or on failure, returns what it took.
    before = recursion_budget()
    for _ in range(100):
        for obj in [nested_list(128), nested_list(129), {"a": nested_list(127)}, nested_dict(129),
                    {"a": [nested_dict(60)], "b": [[{1}]]}]:
            try:
                serialize_pretty(obj)
            except TomlSerializationError:
                pass
    assert recursion_budget() == before


# --- Integers and floats ------------------------------------------------------------


@pytest.mark.parametrize(
    "value",
    [0, 1, -1, 2**31, 2**63 - 1, -(2**63), 2**63, 2**64 - 1, 2**64, -(2**63) - 1, 2**127 - 1, -(2**127),
     2**127, 2**128 - 1],
)
def test_integers(value):
    # Every integer the reader gives (-2**127 to 2**128-1) is written back.
    assert value_text(value) == str(value)
    assert serialize(value) == str(value)
    assert _vexil.deserialize(f"v = {value}") == {"v": value}


@pytest.mark.parametrize("value", [2**128, -(2**127) - 1, 2**200, -(2**1000)])
def test_integers_beyond_128_bits(value):
    fails({"a": value}, f"{value} (int) is not serializable to TOML: integers must be between -2**127 and 2**128-1")


@pytest.mark.parametrize(
    "value, text",
    [
        (1.0, "1.0"),
        (-3.0, "-3.0"),
        (0.1, "0.1"),
        (2.5, "2.5"),
        (-0.0, "-0.0"),
        (0.0, "0.0"),
        (float("nan"), "nan"),
        (float("-nan"), "nan"),
        (float("inf"), "inf"),
        (float("-inf"), "-inf"),
        (1e16, "10000000000000000.0"),
        (1e-7, "0.0000001"),
        (1e300, "1" + "0" * 300 + ".0"),
        (1e23, "1" + "0" * 23 + ".0"),
        (5e-324, "0." + "0" * 323 + "5"),
        (1.7976931348623157e308, "17976931348623157" + "0" * 292 + ".0"),
        (123456.789, "123456.789"),
        (0.30000000000000004, "0.30000000000000004"),
    ],
)
def test_floats(value, text):
    assert value_text(value) == text


# --- Strings ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "text, written",
    [
        ("x", '"x"'),
        ("it's", '"it\'s"'),
        ('say "hi"', "'say \"hi\"'"),
        ("C:\\dir", "'C:\\dir'"),
        ("a'b\"c", '"""a\'b"c"""'),
        ("one\ntwo", '"""\none\ntwo"""'),
        ("\t", '"\\t"'),
        ("a\r", '"a\\r"'),
        ("a\r\nb", '"""\na\\r\nb"""'),
        ("back\\slash\nand '''", '"""\nback\\\\slash\nand \'\'\'"""'),
        ("x\\\n'", "'''\nx\\\n''''"),
        ('"""\x01', '"\\"\\"\\"\\u0001"'),
        ('\n"""\x01', '"""\n\n""\\"\\u0001"""'),
        ("\x00\x7f\x1b", '"\\u0000\\u007F\\u001B"'),
        ("\b\f", '"\\b\\f"'),
        ("café ☕ 𝄞", '"café ☕ 𝄞"'),
        ("", '""'),
    ],
)
def test_string_forms(text, written):
    assert value_text(text) == written
    assert serialize(text) == written


@pytest.mark.parametrize(
    "text",
    ["plain", "\x80", "\xff", "\u0100", "é" * 9 + "\u20ac", "\uffff", "\U00010000", "\U0010ffff",
     "abcdefgh" * 3 + "\xe9" + "abcdefg" * 5 + "\u4e2d" + "x" * 9 + "\U0001f600" + "tail"],
)
def test_output_str_has_the_exact_characters(text):
    # The result str is built at the kind its widest character needs; a str
    # of the wrong kind would compare unequal to the same characters.
    out = serialize({"k": text, text: [text]})
    key = text if text == "plain" else f'"{text}"'
    assert out == f'k = "{text}"\n{key} = ["{text}"]\n'
    assert out.encode("utf-8").decode("utf-8") == out
    assert serialize(text) == f'"{text}"'


@pytest.mark.parametrize("wide", ["\xe9", "\u4e2d", "\U0001f600"])
def test_output_str_around_ascii_runs(wide):
    # Wide characters at every offset around the 8- and 16-byte ASCII runs.
    for at in range(40):
        text = "a" * at + wide + "b" * (40 - at) + wide
        assert serialize(text) == f'"{text}"'


def test_none_written_as_string_takes_the_string_forms():
    assert value_text(None, none_value='say "nil"') == "'say \"nil\"'"
    assert value_text(None, none_value="a\nb") == '"""\na\nb"""'


def test_lone_surrogate_in_a_string_value():
    message = (
        "UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' in position 1: surrogates not allowed"
    )
    fails({"a": "x\ud800"}, message)
    fails(["x\ud800"], message)


# --- Keys ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "key, written",
    [
        ("a", "a"),
        ("A-b_9", "A-b_9"),
        ("123", "123"),
        ("a.b", '"a.b"'),
        ("a b", '"a b"'),
        ("é", '"é"'),
        ("", '""'),
        ('say "hi"', "'say \"hi\"'"),
        ("it's", '"it\'s"'),
        ("C:\\dir", "'C:\\dir'"),
        ("tab\there", '"tab\\there"'),
        ("tab\t\\", "'tab\t\\'"),
        ("line\nfeed", '"line\\nfeed"'),
        ("'\"", '"\'\\""'),
        ("\\\x01", '"\\\\\\u0001"'),
        (True, "true"),
        (False, "false"),
    ],
)
def test_key_forms(key, written):
    assert serialize({key: 1}) == f"{written} = 1\n"
    assert serialize({"t": {key: {"u": 1}}}) == f"[t.{written}]\nu = 1\n"
    assert serialize({"a": [1, {key: 1}]}) == f"a = [1, {{ {written} = 1 }}]\n"


@pytest.mark.parametrize("key", [1, 1.5, (1,), b"a", dt.date(2000, 1, 1), frozenset()], ids=repr)
def test_keys_that_are_not_serializable(key):
    message = f"{key!r} ({type(key).__name__}) is not serializable as a TOML key"
    fails({key: 1}, message)
    fails({"t": {key: {}}}, message)  # a header path component
    fails({"a": [{key: 1}]}, message)


def test_none_keys():
    assert serialize({None: 1}, none_value="nil") == "nil = 1\n"
    assert serialize({None: {"a": 1}}, none_value="a b") == '["a b"]\na = 1\n'
    assert serialize({None: 1, "b": 2}) == "b = 2\n"


class Color(str, enum.Enum):
    RED = "red value"

    def __str__(self):
        return "overridden"


def test_str_subclass_keys_use_their_characters():
    assert serialize({Color.RED: 1}) == '"red value" = 1\n'
    assert serialize({Text("k"): {"a": 1}}) == "[k]\na = 1\n"


def test_lone_surrogate_in_a_key():
    message = (
        "UnicodeEncodeError: 'utf-8' codec can't encode character '\\udc80' in position 0: surrogates not allowed"
    )
    fails({"\udc80": 1}, message)
    fails({"\udc80": {"a": 1}}, message)


def test_numpy_bool_keys():
    numpy = pytest.importorskip("numpy")
    assert serialize({numpy.bool_(True): 1, numpy.bool_(False): 2}) == "true = 1\nfalse = 2\n"
    key = numpy.int64(1)
    fails({key: 1}, f"{key!r} (int64) is not serializable as a TOML key")


@pytest.mark.parametrize("name", ["bool_", "bool"])
def test_numpy_style_bool_keys_without_numpy(name):
    # numpy's boolean scalar is recognised by its type's module and name,
    # and its truth value; a look-alike type shows that without numpy.
    fake = type(name, (), {"__module__": "numpy", "__bool__": lambda self: self.value})
    true, false = fake(), fake()
    true.value, false.value = True, False
    assert serialize({true: 1, false: 2}) == "true = 1\nfalse = 2\n"
    other = type(name, (), {"__module__": "numpy_extra", "__bool__": lambda self: True,
                            "__repr__": lambda self: "X"})
    fails({other(): 1}, f"X ({name}) is not serializable as a TOML key")


# --- bytes and bytearray ------------------------------------------------------------


@pytest.mark.parametrize("kind", [bytes, bytearray])
def test_bytes(kind):
    assert value_text(kind(b"\x00\xff")) == "[0, 255]"
    assert value_text(kind()) == "[]"
    assert serialize(kind(b"ab")) == "[97, 98]"
    assert serialize_pretty({"b": kind(b"\x00\xff")}) == "b = [\n    0,\n    255,\n]\n"
    assert serialize_pretty({"b": kind(b"\x07")}) == "b = [7]\n"
    # bytes are never arrays of tables and never skip anything
    assert serialize({"b": [kind(b"\x00")]}) == "b = [[0]]\n"


# --- Date-times ---------------------------------------------------------------------

UTC = dt.timezone.utc


def tz(**delta):
    return dt.timezone(dt.timedelta(**delta))


@pytest.mark.parametrize(
    "value, text",
    [
        (dt.datetime(1979, 5, 27, 7, 32), "1979-05-27T07:32:00"),
        (dt.datetime(1979, 5, 27, 7, 32, 0, 500000), "1979-05-27T07:32:00.5"),
        (dt.datetime(1979, 5, 27, 7, 32, 0, 123), "1979-05-27T07:32:00.000123"),
        (dt.datetime(1979, 5, 27, 7, 32, 0, 120000), "1979-05-27T07:32:00.12"),
        (dt.datetime(1979, 5, 27, 7, 32, 0, 999999), "1979-05-27T07:32:00.999999"),
        (dt.datetime(1979, 5, 27, 7, 32, tzinfo=UTC), "1979-05-27T07:32:00Z"),
        (dt.datetime(1979, 5, 27, 7, 32, tzinfo=tz(hours=-7)), "1979-05-27T07:32:00-07:00"),
        (dt.datetime(1979, 5, 27, 7, 32, tzinfo=tz(hours=5, minutes=30)), "1979-05-27T07:32:00+05:30"),
        (dt.datetime(1979, 5, 27, 7, 32, tzinfo=tz(minutes=-30)), "1979-05-27T07:32:00-00:30"),
        (dt.datetime(1979, 5, 27, 7, 32, tzinfo=tz(minutes=1439)), "1979-05-27T07:32:00+23:59"),
        (dt.datetime(1979, 5, 27, 7, 32, fold=1), "1979-05-27T07:32:00"),
        (dt.datetime(1, 1, 1), "0001-01-01T00:00:00"),
        (dt.datetime(9999, 12, 31, 23, 59, 59, 999999, tzinfo=UTC), "9999-12-31T23:59:59.999999Z"),
        (dt.date(5, 1, 2), "0005-01-02"),
        (dt.date(99, 12, 31), "0099-12-31"),
        (dt.date(2024, 1, 5), "2024-01-05"),
        (dt.time(7, 32), "07:32:00"),
        (dt.time(12, 30, 0, 10), "12:30:00.00001"),
        (dt.time(7, 32, tzinfo=UTC), "07:32:00"),
        (dt.time(7, 32, tzinfo=tz(hours=3)), "07:32:00"),
    ],
)
def test_datetimes(value, text):
    assert value_text(value) == text
    assert serialize([value]) == f"[{text}]"


@pytest.mark.parametrize(
    "minutes, text",
    [(0, "Z"), (330, "+05:30"), (-90, "-01:30"), (-420, "-07:00"), (1439, "+23:59"), (-1439, "-23:59")],
)
def test_datetimes_with_tzinfo(TzInfo, minutes, text):
    value = dt.datetime(1979, 5, 27, 7, 32, 0, 250000, tzinfo=TzInfo(minutes))
    assert value_text(value) == "1979-05-27T07:32:00.25" + text


class Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("no str either")


class FixedZone(dt.tzinfo):
    """A foreign tzinfo whose utcoffset gives whatever it was made with."""

    def __init__(self, offset):
        self.offset = offset

    def utcoffset(self, when):
        if isinstance(self.offset, Exception):
            raise self.offset
        return self.offset

    def dst(self, when):
        return None


@pytest.mark.parametrize(
    "offset, outcome",
    [
        (None, "2000-01-02T03:04:05"),
        (dt.timedelta(hours=1), "2000-01-02T03:04:05+01:00"),
        (dt.timedelta(0), "2000-01-02T03:04:05Z"),
        (dt.timedelta(seconds=30), "ValueError: TOML offsets must be a whole number of minutes, got 0:00:30"),
        (
            dt.timedelta(minutes=-1, microseconds=5),
            "ValueError: TOML offsets must be a whole number of minutes, got -1 day, 23:59:00.000005",
        ),
        (ZeroDivisionError("tz broke"), "ZeroDivisionError: tz broke"),
        (Unprintable(), "Unprintable: <exception str() failed>"),
        (3600, "TypeError: tzinfo.utcoffset() must return None or timedelta, not 'int'"),
        (dt.timedelta(hours=24), "ValueError: offset must be a timedelta strictly between"),
    ],
)
def test_datetimes_with_foreign_tzinfo(offset, outcome):
    value = dt.datetime(2000, 1, 2, 3, 4, 5, tzinfo=FixedZone(offset))
    if outcome[0].isdigit():
        assert value_text(value) == outcome
    else:
        for write in WRITERS:
            with pytest.raises(TomlSerializationError) as info:
                write({"a": [value]})
            assert info.value.args[0].startswith(outcome)


# --- The two faults mended -------------------------------------------------------------


@pytest.mark.parametrize(
    "minutes, name",
    [(1440, "UTC+24:00"), (-1440, "UTC-24:00"), (2000, "UTC+33:20"), (32767, "UTC+546:07"), (-32768, "UTC-546:08")],
)
def test_offsets_of_a_day_or_more_are_refused(TzInfo, minutes, name):
    value = dt.datetime(2000, 1, 1, tzinfo=TzInfo(minutes))
    message = f"ValueError: TOML offsets must be less than 24 hours, got {name}"
    fails({"a": value}, message)
    fails([value], message)


@pytest.mark.parametrize(
    "obj, kwargs, key",
    [
        ({None: 1, "nil": 2}, {"none_value": "nil"}, "nil"),
        ({"nil": 1, None: {}}, {"none_value": "nil"}, "nil"),
        ({None: 1, "": 2}, {"none_value": ""}, ""),
        ({True: 1, "true": 2}, {}, "true"),
        ({"false": [1], False: [2]}, {}, "false"),
        ({Tagged("a"): {"x": 1}, "a": {"y": 2}}, {}, "a"),
        ({Tagged("a"): [{"x": 1}], "a": [{"y": 2}]}, {}, "a"),
        ({Tagged("a"): 1, Tagged("a"): 2}, {}, "a"),
        ({"t": {"k": [1, {True: 1, "true": 2}]}}, {}, "true"),  # an inline table
        ({"t": [{Tagged("é"): 1, "é": 2}]}, {}, "é"),  # an array-of-tables element
    ],
)
def test_keys_that_collide_once_encoded_are_refused(obj, kwargs, key):
    fails(obj, f"duplicate key: `{key}`", **kwargs)


@pytest.mark.parametrize(
    "obj, kwargs, text",
    [
        ({True: 1, "x": 2}, {}, "true = 1\nx = 2\n"),
        ({None: 1, "null": 2}, {}, "null = 2\n"),  # the None key is left out
        ({True: None, "true": 1}, {}, "true = 1\n"),  # the True entry is left out
        ({None: 1, "null": 2}, {"none_value": "nil"}, "nil = 1\nnull = 2\n"),
        ({Tagged("a"): 1, "b": 2}, {}, "a = 1\nb = 2\n"),
    ],
)
def test_non_str_keys_that_do_not_collide(obj, kwargs, text):
    assert serialize(obj, **kwargs) == text


def test_unwritable_key_error_wins_over_duplicate_check():
    # A key with no text is passed over by the collision check and reported
    # where it is written.
    fails({True: 1, 7: 2}, "7 (int) is not serializable as a TOML key")
    fails({"a": {1, 2}, True: 1, 7: 2}, "{1, 2} (set) is not serializable to TOML")

    # The check does not run the key's repr; only the message does, once.
    class Counted:
        calls = 0

        def __repr__(self):
            Counted.calls += 1
            return "counted"

    with pytest.raises(TomlSerializationError, match="^counted \\(Counted\\) is not serializable as a TOML key$"):
        serialize({True: 1, Counted(): 2})
    assert Counted.calls == 1


@pytest.mark.skipif(sys.version_info < (3, 12), reason="dict repr of OrderedDict differs")
def test_ordered_dict_message_text():
    fails(collections.OrderedDict(a=1), "OrderedDict({'a': 1}) (OrderedDict) is not serializable to TOML")


def test_containers_changed_by_python_code_during_the_walk():
    # A tzinfo's utcoffset runs in the middle of the walk. Each one here
    # empties the container being written when it is asked: what that
    # container held when it was reached is still written, and nothing is
    # freed under the writer.
    class Meddler(dt.tzinfo):
        def __init__(self, victim):
            self.victim = victim

        def utcoffset(self, when):
            self.victim.clear()
            return dt.timedelta(hours=1)

    root, items, inner = {}, [], {}
    root.update(a=dt.datetime(2000, 1, 1, tzinfo=Meddler(root)), b="x" * 50, items=items, inner=inner)
    items.extend([dt.datetime(2000, 1, 1, tzinfo=Meddler(items)), "y" * 50, {"z": "w" * 50}])
    inner.update(k=dt.datetime(2000, 1, 1, tzinfo=Meddler(inner)), v="v" * 50)
    text = serialize(root)
    assert text == (
        f'a = 2000-01-01T00:00:00+01:00\nb = "{"x" * 50}"\n'
        f'items = [2000-01-01T00:00:00+01:00, "{"y" * 50}", {{ z = "{"w" * 50}" }}]\n'
        f'\n[inner]\nk = 2000-01-01T00:00:00+01:00\nv = "{"v" * 50}"\n'
    )
    assert root == {} and items == [] and inner == {}

    # An array of tables is taken before the plain values are written.
    aot = [{"a": 1}, {"b": 2}]
    text = serialize({"when": dt.datetime(2000, 1, 1, tzinfo=Meddler(aot)), "aot": aot})
    assert text == "when = 2000-01-01T00:00:00+01:00\n\n[[aot]]\na = 1\n\n[[aot]]\nb = 2\n"
