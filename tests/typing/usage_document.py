"""A small program using vexil.Document's typed API; mypy --strict must accept it."""

import io
import pathlib
from typing import Any

import vexil
from vexil._document import Array, Table


def bump(path: pathlib.Path, version: str) -> str:
    doc = vexil.Document.load(path)
    project = doc["project"]
    assert isinstance(project, Table)
    project["version"] = version
    project.set_comment("version", "bumped")
    above: list[str] = project.comments_above("version")
    note: str | None = project.comment("version")
    doc.dump(path)
    return f"{above} {note} {doc.dumps()}"


def edit(text: str | bytes) -> dict[str, Any]:
    doc = vexil.Document(text)
    doc["title"] = "x"
    doc.setdefault("servers", [])
    servers = doc["servers"]
    if isinstance(servers, Array):
        servers.append({"ip": "10.0.0.1"})
        servers.insert(0, {"ip": "10.0.0.0"})
        del servers[-1]
        first: Any = servers[0]
        size: int = len(servers)
        _ = (first, size, servers[0:1])
    doc.update({"n": 1})
    del doc["n"]
    keys: list[str] = list(doc)
    buffer = io.StringIO()
    doc.dump(buffer)
    _ = (keys, str(doc), "title" in doc, doc.get("title"), doc == {"title": "x"})
    return doc.to_dict()
