"""Type stubs for vexil's C++ core."""

import datetime
from typing import Any, Final, final, type_check_only

__all__ = [
    "TomlParsingError",
    "TomlSerializationError",
    "__version__",
    "VERSION",
    "deserialize",
    "serialize",
    "serialize_pretty",
]

__version__: Final[str]
VERSION: Final[str]

class TomlParsingError(ValueError):
    """Malformed TOML, or a value Python cannot hold. Its single argument is
    the message, ending in " at line L column C" when it has a position."""

    # Set by vexil.loads() and vexil.load(), as json.JSONDecodeError has them:
    # the message without its position, and the 1-based line and column
    # (None when the error has no position).
    msg: str
    lineno: int | None
    colno: int | None

class TomlSerializationError(ValueError):
    """An object that has no TOML form."""

def deserialize(toml_data: str, none_value: str | None = None) -> dict[str, Any]: ...
def serialize(obj: Any, none_value: str | None = None) -> str: ...
def serialize_pretty(obj: Any, none_value: str | None = None) -> str: ...
@final
@type_check_only
class TzInfo(datetime.tzinfo):
    """The fixed-offset time zone of parsed offset date-times. Not a module
    attribute: reach it as ``type(dt.tzinfo)`` of such a date-time."""

    def __new__(cls, minutes: int) -> TzInfo: ...
    def seconds(self) -> int: ...
    def utcoffset(self, dt: datetime.datetime | None) -> datetime.timedelta: ...
    def tzname(self, _dt: datetime.datetime | None) -> str: ...
    def dst(self, _dt: datetime.datetime | None) -> None: ...
    def fromutc(self, dt: datetime.datetime) -> datetime.datetime: ...
