"""A small program using vexil's typed API; mypy --strict must accept it."""

import datetime
import io
from typing import Any

import vexil
from vexil import _vexil


def read(text: str) -> dict[str, Any]:
    return vexil.loads(text, none_value="nil")


def position(text: str) -> tuple[int | None, int | None]:
    try:
        vexil.loads(text)
    except vexil.TOMLDecodeError as err:
        return err.lineno, err.colno
    return None, None


def write(doc: dict[str, Any]) -> str:
    buffer = io.BytesIO()
    vexil.dump(doc, buffer, pretty=True)
    return vexil.dumps(doc) + buffer.getvalue().decode()


def offset_minutes(dt: datetime.datetime) -> int:
    tz = dt.tzinfo
    assert tz is not None
    offset = tz.utcoffset(dt)
    return 0 if offset is None else int(offset.total_seconds() // 60)


doc: dict[str, Any] = _vexil.deserialize("a = 1")
text: str = _vexil.serialize_pretty(doc)
version: str = vexil.__version__
print(read(text), position("a ="), write(doc), version)
