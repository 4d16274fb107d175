"""Pickling of what vexil makes: the time zones of offset date-times and the
two exception classes.

None of the three classes can be found by pickle under its own name: the
exception classes say they live in a module called ``_vexil`` (no such
top-level module exists) and ``TzInfo`` is no attribute of ``vexil._vexil``.
Rather than change those names, the package registers reducers in
``copyreg.dispatch_table``, which ``pickle``, ``copy`` and multiprocessing
consult before an object's own ``__reduce_ex__``. Each reducer names a small
function of this module, which any process can import, to rebuild the object.
"""

from __future__ import annotations

import copyreg

from . import _vexil

# typing is not imported at run time (import cost); mypy reads this block.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

# The class of the tzinfo objects the reader makes: the only way to reach it
# is through a parsed offset date-time.
TzInfo: type = type(_vexil.deserialize("t = 1970-01-01T00:00:00Z")["t"].tzinfo)

# The exception classes by the name this module rebuilds them from.
_ERRORS = {
    "TomlParsingError": _vexil.TomlParsingError,
    "TomlSerializationError": _vexil.TomlSerializationError,
}


def tzinfo(minutes: int) -> Any:
    """Rebuilds a ``TzInfo`` of ``minutes`` east of UTC."""
    return TzInfo(minutes)


def _reduce_tzinfo(zone: Any) -> tuple[Any, ...]:
    # The type's own __reduce__ gives (TzInfo, (minutes,)); keep its arguments
    # and swap in a function pickle can find.
    _, args = zone.__reduce__()
    return tzinfo, args


def error(name: str, args: tuple[Any, ...]) -> BaseException:
    """Rebuilds one of vexil's exceptions from its class name and ``args``;
    pickle then restores its attributes (``msg``, ``lineno``, ``colno``,
    notes) from the saved ``__dict__``."""
    return _ERRORS[name](*args)


def _reduce_error(exc: BaseException) -> tuple[Any, ...]:
    # As BaseException.__reduce__ does, but naming `error` for the class.
    return error, (type(exc).__name__, exc.args), exc.__dict__ or None


copyreg.pickle(TzInfo, _reduce_tzinfo)
for _cls in _ERRORS.values():
    copyreg.pickle(_cls, _reduce_error)
del _cls
