"""The _vexil module's surface: its attributes, exception classes, function
objects, and the argument handling of deserialize."""

import importlib
import re
import subprocess
import sys

import pytest

from conftest import ROOT
from vexil import _vexil

TomlParsingError = _vexil.TomlParsingError


def test_all_lists_the_attributes_in_order():
    expected = ["TomlParsingError", "TomlSerializationError", "__version__", "VERSION", "deserialize"]
    if hasattr(_vexil, "serialize"):
        expected += ["serialize", "serialize_pretty"]
    assert _vexil.__all__ == expected
    assert type(_vexil.__all__) is list
    for name in expected:
        assert hasattr(_vexil, name)


def test_module_doc_is_empty_string_and_tzinfo_is_not_an_attribute():
    assert _vexil.__doc__ == ""
    assert not hasattr(_vexil, "TzInfo")
    assert not hasattr(_vexil, "InternalError")


@pytest.mark.parametrize("name", ["TomlParsingError", "TomlSerializationError"])
def test_exception_classes(name):
    cls = getattr(_vexil, name)
    assert cls.__module__ == "_vexil"
    assert cls.__qualname__ == name
    assert cls.__name__ == name
    assert cls.__doc__ is None
    assert cls.__bases__ == (ValueError,)


def test_version_comes_from_pyproject():
    text = (ROOT / "pyproject.toml").read_text(encoding="utf-8")
    version = re.search(r'^version = "([^"]+)"', text, re.M).group(1)
    expected = version.replace("-alpha", "a").replace("-beta", "b")
    assert _vexil.__version__ == expected
    assert _vexil.VERSION == _vexil.__version__
    assert _vexil.VERSION is not _vexil.__version__


def test_function_objects():
    f = _vexil.deserialize
    assert type(f).__name__ == "builtin_function_or_method"
    assert f.__name__ == "deserialize"
    assert f.__doc__ is None
    assert f.__text_signature__ == "(toml_data, none_value=None)"
    assert f.__module__ is None
    assert f.__self__ is None


def test_second_import_shares_the_exception_classes():
    first = sys.modules["vexil._vexil"]
    package = sys.modules["vexil"]
    try:
        del sys.modules["vexil._vexil"]
        second = importlib.import_module("vexil._vexil")
        assert second is not first
        assert second.deserialize is not first.deserialize
        assert second.TomlParsingError is first.TomlParsingError
        assert second.TomlSerializationError is first.TomlSerializationError
        with pytest.raises(first.TomlParsingError):
            second.deserialize("= 1")
    finally:
        sys.modules["vexil._vexil"] = first
        package._vexil = first


SUB_INTERPRETERS = r'''
import _testcapi, os
read_end, write_end = os.pipe()
code = f"""
import os
try:
    from vexil import _vexil
    _vexil.serialize(_vexil.deserialize("a = 2000-01-01T00:00:00+01:00"))
    os.write({write_end}, b"loaded;")
except ImportError as error:
    os.write({write_end}, str(error).encode() + b";")
"""
for _ in range(2):
    assert _testcapi.run_in_subinterp(code) == 0
os.close(write_end)
print(os.read(read_end, 1000).decode())
from vexil import _vexil
print(_vexil.serialize(_vexil.deserialize("a = 2000-01-01T00:00:00+01:00")), end="")
'''


def test_sub_interpreters_are_refused():
    # The module's caches are process-wide. A sub-interpreter that filled
    # them (the datetime C API, the TzInfo type) left them pointing at its
    # own objects when it ended, and the next user crashed the process.
    pytest.importorskip("_testcapi")
    result = subprocess.run([sys.executable, "-c", SUB_INTERPRETERS], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    refusal = "module _vexil does not support loading in subinterpreters;"
    assert result.stdout == f"{refusal * 2}\na = 2000-01-01T00:00:00+01:00\n"


class Text(str):
    pass


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "deserialize() missing 1 required positional argument: 'toml_data'"),
        (("", None, 1), {}, "deserialize() takes from 1 to 2 positional arguments but 3 were given"),
        # Surplus positionals are refused before any keyword is looked at.
        (("", None, 1), {"bogus": 1}, "deserialize() takes from 1 to 2 positional arguments but 3 were given"),
        (("",), {"bogus": 1}, "deserialize() got an unexpected keyword argument 'bogus'"),
        (("",), {"Toml_data": 1}, "deserialize() got an unexpected keyword argument 'Toml_data'"),
        (("",), {"toml_data": ""}, "deserialize() got multiple values for argument 'toml_data'"),
        (("", None), {"none_value": ""}, "deserialize() got multiple values for argument 'none_value'"),
        # Keywords are checked in call order, before the missing-argument check.
        ((), {"bogus": 1}, "deserialize() got an unexpected keyword argument 'bogus'"),
        (("",), {"toml_data": "", "bogus": 1}, "deserialize() got multiple values for argument 'toml_data'"),
        ((), {"none_value": None}, "deserialize() missing 1 required positional argument: 'toml_data'"),
    ],
)
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        _vexil.deserialize(*args, **kwargs)
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)


def test_keyword_without_utf8_form_is_unexpected():
    with pytest.raises(TypeError) as info:
        _vexil.deserialize("", **{"\udcff": 1})
    assert str(info.value) == "deserialize() got an unexpected keyword argument '\udcff'"


@pytest.mark.parametrize(
    "kwargs",
    [
        {"toml_data": "a = 'x'", "none_value": "x"},
        {"none_value": "x", "toml_data": "a = 'x'"},
    ],
)
def test_both_parameters_by_keyword(kwargs):
    assert _vexil.deserialize(**kwargs) == {"a": None}


@pytest.mark.parametrize(
    "toml_data, none_value, message, parameter",
    [
        (b"a = 1", None, "'bytes' object is not an instance of 'str'", "toml_data"),
        (bytearray(b"a = 1"), None, "'bytearray' object is not an instance of 'str'", "toml_data"),
        (None, None, "'None' is not an instance of 'str'", "toml_data"),
        (1, None, "'int' object is not an instance of 'str'", "toml_data"),
        # The TOML text is not parsed when none_value is bad.
        ("= not toml", 0, "'int' object is not an instance of 'str'", "none_value"),
        ("a = 1", b"x", "'bytes' object is not an instance of 'str'", "none_value"),
        ("a = 1", Text, "'type' object is not an instance of 'str'", "none_value"),
    ],
)
def test_text_arguments_must_be_str(toml_data, none_value, message, parameter):
    with pytest.raises(TypeError) as info:
        _vexil.deserialize(toml_data, none_value)
    assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{parameter}'"]


def test_qualified_type_name_in_cast_message():
    class Inner:
        pass

    with pytest.raises(TypeError) as info:
        _vexil.deserialize(Inner())
    assert str(info.value) == (
        "'test_qualified_type_name_in_cast_message.<locals>.Inner' object is not an instance of 'str'"
    )


@pytest.mark.parametrize(
    "toml_data, none_value, parameter",
    [("a = '\ud800'", None, "toml_data"), ("a = 1", "\udfff", "none_value")],
)
def test_lone_surrogate_gives_the_interpreters_error_with_note(toml_data, none_value, parameter):
    with pytest.raises(UnicodeEncodeError) as info:
        _vexil.deserialize(toml_data, none_value)
    with pytest.raises(UnicodeEncodeError) as expected:
        (toml_data if parameter == "toml_data" else none_value).encode("utf-8")
    assert str(info.value) == str(expected.value)
    assert info.value.__notes__ == [f"while processing '{parameter}'"]


def test_str_subclasses_are_accepted():
    assert _vexil.deserialize(Text("a = 'null'\nb = 'x'"), Text("null")) == {"a": None, "b": "x"}


def test_raised_parsing_error_has_one_argument_and_no_chain():
    with pytest.raises(TomlParsingError) as info:
        _vexil.deserialize("a = 0000-01-01")
    error = info.value
    assert isinstance(error, ValueError)
    assert type(error) is TomlParsingError
    assert error.args == (str(error),)
    assert error.__cause__ is None
    assert error.__context__ is None


def test_type_name_with_lone_surrogate_is_replaced():
    class Odd:
        pass

    Odd.__qualname__ = "Odd\udcff"
    with pytest.raises(TypeError) as info:
        _vexil.deserialize(Odd())
    assert str(info.value) == "'Odd\ufffd' object is not an instance of 'str'"
