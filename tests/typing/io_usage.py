"""vexil's reading and writing with the file objects of the standard
library; mypy --strict must accept it (the suite runs it too)."""

import decimal
import gzip
import io
import os
import tarfile
import tempfile
import zipfile
from typing import IO, Any

import vexil


def from_zip(archive: str, member: str) -> dict[str, Any]:
    with zipfile.ZipFile(archive) as zf, zf.open(member) as fp:
        return vexil.load(fp)


def from_gzip(path: str) -> dict[str, Any]:
    with gzip.open(path) as fp:
        return vexil.load(fp, parse_float=decimal.Decimal)


def from_tar(path: str, member: str) -> dict[str, Any]:
    with tarfile.open(path) as tf:
        fp = tf.extractfile(member)
        assert fp is not None
        return vexil.load(fp, toml_version="1.0.0")


def from_stream(fp: IO[bytes]) -> dict[str, Any]:
    return vexil.load(fp)


def from_text(fp: IO[str]) -> dict[str, Any]:
    return vexil.load(fp)


def from_buffers(data: bytes) -> list[dict[str, Any]]:
    return [vexil.loads(data), vexil.loads(bytearray(data)), vexil.loads(memoryview(data))]


def to_stream(doc: dict[str, Any], fp: IO[bytes]) -> None:
    vexil.dump(doc, fp, pretty=True, indent=2, sort_keys=True, default=str)


def to_text(doc: dict[str, Any], fp: IO[str]) -> None:
    vexil.dump(doc, fp, multiline_strings=True)


def to_gzip(doc: dict[str, Any], path: str) -> None:
    with gzip.open(path, "wb") as fp:
        vexil.dump(doc, fp)


def main() -> None:
    doc = {"a": 1, "f": 0.5, "s": "x"}
    with tempfile.TemporaryDirectory() as folder:
        plain = os.path.join(folder, "doc.toml")
        vexil.dump(doc, plain)
        archive = os.path.join(folder, "doc.zip")
        with zipfile.ZipFile(archive, "w") as zf:
            zf.write(plain, "doc.toml")
        packed = os.path.join(folder, "doc.toml.gz")
        to_gzip(doc, packed)
        tarball = os.path.join(folder, "doc.tar")
        with tarfile.open(tarball, "w") as tf:
            tf.add(plain, "doc.toml")
        stream = io.BytesIO()
        to_stream(doc, stream)
        text = io.StringIO()
        to_text(doc, text)
        results = [
            from_zip(archive, "doc.toml"),
            from_gzip(packed),
            from_tar(tarball, "doc.toml"),
            from_stream(io.BytesIO(stream.getvalue())),
            from_text(io.StringIO(text.getvalue())),
            *from_buffers(stream.getvalue()),
        ]
    assert results[0] == doc and results[1]["f"] == decimal.Decimal("0.5"), results
    assert all(result == doc for index, result in enumerate(results) if index != 1), results
    print("ok")


if __name__ == "__main__":
    main()
