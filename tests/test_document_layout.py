"""The layout contract of vexil.Document, rule by rule: each row is a small
document, one edit and the exact text it must give."""

import datetime as dt

import pytest

import vexil
from vexil import Document, TomlParsingError, TomlSerializationError


def _set(*path_and_value):
    *path, key, value = path_and_value

    def edit(doc):
        target = doc
        for step in path:
            target = target[step]
        target[key] = value

    return edit


def _del(*path):
    def edit(doc):
        target = doc
        for step in path[:-1]:
            target = target[step]
        del target[path[-1]]

    return edit


def _call(method, *path_and_args, nargs=1):
    path, args = path_and_args[:-nargs], path_and_args[-nargs:]

    def edit(doc):
        target = doc
        for step in path:
            target = target[step]
        getattr(target, method)(*args)

    return edit


UNEDITED = [
    "",
    "a = 1",
    "a = 1\r\nb = 2\r\n",
    "a = 1\nb = 2\r\n",
    "\ufeffa = 1\n",
    "# only a comment",
    "  a   =   1   # spaced\n\n\n",
    "hex = 0x7fff_ffff\nexp = 1e3\ninf = +inf\nlit = 'literal'\nml = \"\"\"multi\nline\"\"\"\n",
    "d = 1979-05-27 07:32:00\n",
    "t = { a = 1, b.c = [1, 2,], }\n",
    "[b]\nx = 1\n[a]\ny = 2\n[b.c]\nz = 3\n",
    "[[p]]\nn = 1\n[p.q]\nm = 2\n[[p]]\nn = 3\n",
    "a.b.c = 1\na.d = 2\n",
    "arr = [\n  1, # one\n  2,\n  # lonely\n]\n",
]


@pytest.mark.parametrize("text", UNEDITED)
def test_unedited_text_is_kept_byte_for_byte(text):
    assert str(Document(text)) == text
    assert Document(text.encode("utf-8")).dumps() == text


LAYOUT = [
    # Replacing a value changes only the value's bytes.
    ("a   =  1   # keep\nb = 2\n", _set("a", "x"), 'a   =  "x"   # keep\nb = 2\n'),
    ("a = 0x10\n", _set("a", 3.5), "a = 3.5\n"),
    ("a = 1\n", _set("a", dt.datetime(1979, 5, 27, 7, 32)), "a = 1979-05-27T07:32:00\n"),
    ("a = 1\n", _set("a", [{"x": 1}]), "a = [{ x = 1 }]\n"),
    ("t = { x = 1, y = 2 }\n", _set("t", "x", {"z": 1}), "t = { x = { z = 1 }, y = 2 }\n"),
    ("arr = [\n  1,  # one\n  2,  # two\n]\n", _set("arr", 0, 10), "arr = [\n  10,  # one\n  2,  # two\n]\n"),
    # A new key goes after the table's last key/value line, indented like it.
    ("[t]\n  a = 1\n  b = 2\n\n[u]\n", _set("t", "c", 3), "[t]\n  a = 1\n  b = 2\n  c = 3\n\n[u]\n"),
    ("x = 1\r\ny = 2\r\n", _set("z", True), "x = 1\r\ny = 2\r\nz = true\r\n"),
    ("x = 1", _set("z", 3), "x = 1\nz = 3"),
    ("[t]\n", _set("t", "a", 1), "[t]\na = 1\n"),
    ("# top\n\n[a]\n", _set("b", 2), "# top\n\nb = 2\n\n[a]\n"),
    ("", _set("a", 1), "a = 1\n"),
    # ... inside the braces of an inline table, and as a dotted key with the same prefix.
    ("a = { x = 1 }\n", _set("a", "y", 2), "a = { x = 1, y = 2 }\n"),
    ("a = {}\n", _set("a", "y", 2), "a = {y = 2}\n"),
    ("a = { x = 1, }\n", _set("a", "y", 2), "a = { x = 1, y = 2, }\n"),
    ("a.b = 1\nz = 0\n", _set("a", "c", 2), "a.b = 1\na.c = 2\nz = 0\n"),
    ("[s]\nx.y.z = 1\n", _set("s", "x", "y", "w", 2), "[s]\nx.y.z = 1\nx.y.w = 2\n"),
    ("[a.b]\nx = 1\n", _set("a", "z", 3), "[a]\nz = 3\n\n[a.b]\nx = 1\n"),
    # A new sub-table goes after the parent's last sub-table, or at the end.
    ("[a]\nx = 1\n\n[b]\ny = 1\n", _set("a", "s", {"k": 1}), "[a]\nx = 1\n\n[a.s]\nk = 1\n\n[b]\ny = 1\n"),
    ("[a]\nx = 1\n[a.t]\n\n[b]\n", _set("a", "s", {}), "[a]\nx = 1\n[a.t]\n\n[a.s]\n\n[b]\n"),
    ("x = 1\n", _set("t", {"k": 1}), "x = 1\n\n[t]\nk = 1\n"),
    ("x = 1", _set("t", {"k": 1}), "x = 1\n\n[t]\nk = 1\n"),
    ("a.b = 1\n", _set("a", "c", {"k": 1}), "a.b = 1\na.c = { k = 1 }\n"),
    ("x = 1\n", _set("p", [{"n": 1}, {"n": 2}]), "x = 1\n\n[[p]]\nn = 1\n\n[[p]]\nn = 2\n"),
    # A new array-of-tables element goes right after the last element.
    ("[[p]]\nn = 1\n\n[[p]]\nn = 2\n\n[x]\n", _call("append", "p", {"n": 3}),
     "[[p]]\nn = 1\n\n[[p]]\nn = 2\n\n[[p]]\nn = 3\n\n[x]\n"),
    ("[[p]]\nn = 1\n[p.sub]\nq = 1\n\n[x]\n", _call("append", "p", {"n": 2}),
     "[[p]]\nn = 1\n[p.sub]\nq = 1\n\n[[p]]\nn = 2\n\n[x]\n"),
    ("[[p]]\nn = 1\n", _call("insert", "p", 0, {"n": 0}, nargs=2), "[[p]]\nn = 0\n\n[[p]]\nn = 1\n"),
    # Arrays: the other lines stay.
    ("arr = [\n  1,\n  2\n]\n", _call("append", "arr", 3), "arr = [\n  1,\n  2,\n  3\n]\n"),
    ("arr = [\n  1,\n  2,\n]\n", _call("append", "arr", 3), "arr = [\n  1,\n  2,\n  3,\n]\n"),
    ("arr = [1, 2]\n", _call("insert", "arr", 0, 0, nargs=2), "arr = [0, 1, 2]\n"),
    ("arr = []\n", _call("append", "arr", "x"), 'arr = ["x"]\n'),
    ("arr = [1, 2]\n", _del("arr", 1), "arr = [1]\n"),
    ("arr = [1, 2]\n", _del("arr", 0), "arr = [2]\n"),
    ("arr = [1]\n", _del("arr", -1), "arr = []\n"),
    ("arr = [\n  1,  # one\n  2,  # two\n]\n", _del("arr", 1), "arr = [\n  1,  # one\n]\n"),
    # Deleting an entry takes its line, its comment and the comments above.
    ("# about x\nx = 1  # c\n\n# about y\ny = 2\n", _del("x"), "\n# about y\ny = 2\n"),
    ("t = { a = 1, b = 2 }\n", _del("t", "a"), "t = { b = 2 }\n"),
    ("t = { a = 1, b = 2 }\n", _del("t", "b"), "t = { a = 1 }\n"),
    # Deleting a table takes its header, body and sub-tables ...
    ("a = 1\n[t]\nx = 1\n[t.s]\ny = 1\n[u]\n", _del("t"), "a = 1\n[u]\n"),
    ("[t.s]\ny = 1\n[t.r]\n[u]\n", _del("t"), "[u]\n"),
    ("a.b = 1\na.c = 2\nz = 3\n", _del("a"), "z = 3\n"),
    ("[[p]]\nn = 1\n\n[[p]]\nn = 2\n", _del("p", 0), "[[p]]\nn = 2\n"),
    ("[[p]]\nn = 1\n\n[[p]]\nn = 2\n", _del("p"), ""),
    # ... and a table that loses its last definition stays, empty.
    ("a.b = 1\n", _del("a", "b"), "[a]\n"),
    ("[a.b]\nx = 1\n", _del("a", "b"), "[a]\n"),
]


@pytest.mark.parametrize("text, edit, expected", LAYOUT)
def test_layout(text, edit, expected):
    doc = Document(text)
    reference = vexil.loads(text)
    edit(doc)
    assert str(doc) == expected
    edit(reference)
    assert vexil.loads(str(doc)) == reference == doc.to_dict()


COMMENTS = [
    ("a = 1  # old\n", lambda d: d.comment("a"), "old"),
    ("a = 1\n", lambda d: d.comment("a"), None),
    ("[t] # head\nx = 1\n", lambda d: d.comment("t"), "head"),
    ("# one\n#two\na = 1\n", lambda d: d.comments_above("a"), ["one", "two"]),
    ("# far\n\na = 1\n", lambda d: d.comments_above("a"), []),
    ("[t]\n  # in\n  x = 1\n", lambda d: d["t"].comments_above("x"), ["in"]),
]


@pytest.mark.parametrize("text, read, expected", COMMENTS)
def test_reading_comments(text, read, expected):
    assert read(Document(text)) == expected


COMMENT_EDITS = [
    ("a = 1  # old\n", _call("set_comment", "a", "new", nargs=2), "a = 1  # new\n"),
    ("a = 1\n", _call("set_comment", "a", "new", nargs=2), "a = 1 # new\n"),
    ("a = 1  # old\nb = 2\n", _call("set_comment", "a", None, nargs=2), "a = 1\nb = 2\n"),
    ("[t]\nx = 1\n", _call("set_comment", "t", "head", nargs=2), "[t] # head\nx = 1\n"),
    ("a = 1\n", _call("set_comments_above", "a", ["one", "two"], nargs=2), "# one\n# two\na = 1\n"),
    ("# old\na = 1\n", _call("set_comments_above", "a", None, nargs=2), "a = 1\n"),
    ("x = 1\r\n[t]\r\n  y = 2\r\n", _call("set_comments_above", "t", "y", ["c"], nargs=2), "x = 1\r\n[t]\r\n  # c\r\n  y = 2\r\n"),
    ("x = 1\n\n# t\n[t]\n", _call("set_comments_above", "t", ["u"], nargs=2), "x = 1\n\n# u\n[t]\n"),
]


@pytest.mark.parametrize("text, edit, expected", COMMENT_EDITS)
def test_comment_edits(text, edit, expected):
    doc = Document(text)
    edit(doc)
    assert str(doc) == expected


@pytest.mark.parametrize(
    "edit, error",
    [
        (_set("a", None), TomlSerializationError),
        (_set("a", object()), TomlSerializationError),
        (_set("a", {"k": [1, object()]}), TomlSerializationError),
        (_set("a", "x", 1), TypeError),
        (_set("missing", "x", 1), KeyError),
        (_del("missing"), KeyError),
        (_del("arr", 5), IndexError),
        (_set("arr", -4, 1), IndexError),
        (_call("set_comment", "a", "two\nlines", nargs=2), ValueError),
        (_set("t", "k", float("nan")), None),
    ],
)
def test_failed_edit_changes_nothing(edit, error):
    text = "a = 1  # keep\narr = [1, 2, 3]\nt = { x = 1 }\n"
    doc = Document(text)
    if error is None:
        edit(doc)
        return
    with pytest.raises(error):
        edit(doc)
    assert str(doc) == text


def test_reading_gives_what_loads_gives():
    text = 'a = 1979-05-27T07:32:00-08:00\nb = 0x10\nc = "s"\nd = [1.5, {x = 1}]\n[t]\ne = 07:32:00\n'
    doc = Document(text)
    plain = vexil.loads(text)
    for key in plain:
        if key in ("d", "t"):
            continue
        assert doc[key] == plain[key]
        assert type(doc[key]) is type(plain[key])
    assert doc["a"].utcoffset() == plain["a"].utcoffset()
    assert doc["d"] == plain["d"] and doc["t"] == plain["t"]
    assert list(doc) == ["a", "b", "c", "d", "t"]
    assert len(doc) == 5 and len(doc["d"]) == 2 and doc["d"][-1]["x"] == 1
    assert doc.get("zz", 5) == 5 and "a" in doc and "zz" not in doc


def test_views_are_live_and_mapping_methods_work():
    doc = Document("[t]\nx = 1\n")
    t = doc["t"]
    doc["t"]["y"] = [1]
    y = t["y"]
    y.extend([2, 3])
    assert t == {"x": 1, "y": [1, 2, 3]} and y == [1, 2, 3]
    assert t.pop("x") == 1 and "x" not in t
    assert t.setdefault("z", {"w": 1}) == {"w": 1}
    t.update({"x": 5}, q="r")
    assert doc.to_dict() == {"t": {"y": [1, 2, 3], "z": {"w": 1}, "x": 5, "q": "r"}}
    assert vexil.loads(str(doc)) == doc.to_dict()


def test_assigning_a_view_of_the_same_document_copies_its_data():
    doc = Document("[a]\nx = 1\n[b]\n")
    doc["b"]["copy"] = doc["a"]
    assert doc.to_dict() == {"a": {"x": 1}, "b": {"copy": {"x": 1}}}


@pytest.mark.parametrize("bad", ["a = ", b"a = 1\n\xff", "a = 1\na = 2\n"])
def test_bad_input_raises_as_loads_does(bad):
    with pytest.raises(TomlParsingError) as got:
        Document(bad)
    with pytest.raises(TomlParsingError) as want:
        vexil.loads(bad)
    assert str(got.value) == str(want.value)
    assert (got.value.lineno, got.value.colno) == (want.value.lineno, want.value.colno)


def test_load_and_dump(tmp_path):
    target = tmp_path / "real.toml"
    target.write_bytes(b"a = 1 # c\r\n")
    link = tmp_path / "link.toml"
    link.symlink_to(target)
    doc = Document.load(link)
    doc["b"] = 2
    doc.dump(link)
    assert link.is_symlink()
    assert target.read_bytes() == b"a = 1 # c\r\nb = 2\r\n"
    with open(target, "rb") as fp:
        assert Document.load(fp).to_dict() == {"a": 1, "b": 2}
    import io

    text = io.StringIO()
    doc.dump(text)
    assert text.getvalue() == str(doc)


def test_scalar_edits_keep_the_text_exact_around_non_ascii():
    text = 'a = "ü€😀"  # ünï\nb = [1, "😀", 3]\nc = { d = "é" }\n'
    doc = Document(text)
    doc["a"] = "x😀"
    doc["b"][1] = "é"
    doc["c"]["d"] = 7
    expected = 'a = "x😀"  # ünï\nb = [1, "é", 3]\nc = { d = 7 }\n'
    assert str(doc) == expected
    assert Document(expected.encode("utf-8")).dumps() == expected
