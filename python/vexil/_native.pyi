"""Type stubs for vexil's second native module (the package's options)."""

from collections.abc import Callable, Mapping
from typing import Any, Literal, overload

def loads(
    data: str | bytes | bytearray | memoryview,
    /,
    *,
    none_value: str | None = None,
    parse_float: Callable[[str], Any] | None = None,
    toml_version: Literal["1.0.0", "1.1.0"] = "1.1.0",
) -> dict[str, Any]: ...
@overload
def dumps(
    obj: Mapping[str, Any],
    /,
    *,
    pretty: bool = False,
    none_value: str | None = None,
    multiline_strings: bool = True,
    indent: int = 4,
    sort_keys: bool = False,
    default: Callable[[Any], Any] | None = None,
    as_bytes: Literal[False] = False,
) -> str: ...
@overload
def dumps(
    obj: Mapping[str, Any],
    /,
    *,
    pretty: bool = False,
    none_value: str | None = None,
    multiline_strings: bool = True,
    indent: int = 4,
    sort_keys: bool = False,
    default: Callable[[Any], Any] | None = None,
    as_bytes: Literal[True],
) -> bytes: ...
@overload
def dumps(
    obj: Mapping[str, Any],
    /,
    *,
    pretty: bool = False,
    none_value: str | None = None,
    multiline_strings: bool = True,
    indent: int = 4,
    sort_keys: bool = False,
    default: Callable[[Any], Any] | None = None,
    as_bytes: bool,
) -> str | bytes: ...
