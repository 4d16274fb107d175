"""The check behind `vexil --format`'s refusals: the scanner of value tokens
and comments, and the claim it rests on (what vexil writes is canonical)."""

import pathlib

import pytest

import vexil
from vexil import _lossless


@pytest.mark.parametrize(
    ("source", "values", "comments"),
    [
        ('a = "x # y" # z\n', ['"x # y"'], 1),
        ("a = 'x # y'#z\n", ["'x # y'"], 1),
        ('a = """\none # not\n"""\n', ['"""\none # not\n"""'], 0),
        ("a = '''it's''''\n", ["'''it's''''"], 0),
        ('a = """say ""hi"""""\n', ['"""say ""hi"""""'], 0),
        ('a = """x\\"""y"""\n', ['"""x\\"""y"""'], 0),
        ('a = "q\\"#"\n', ['"q\\"#"'], 0),
        ('"k # e y" = 1\n[ "t#" . \'u#\' ]\n[["a#"]]\n', ["1"], 0),
        ("d = 1979-05-27 07:32:00Z\ne = 1979-05-27 # date only\n", ["1979-05-27 07:32:00Z", "1979-05-27"], 1),
        ("a = [1,2 , # c\n  [3], {x = 4}, ]\n", ["1", "2", "3", "4"], 1),
        ("t = {\n  a = 1, # c\n  b.c = -inf,\n}\n", ["1", "-inf"], 1),
        ("\ufeff# c\r\na = true\r\n", ["true"], 1),
    ],
)
def test_scanner_finds_values_and_comments(source, values, comments):
    found, found_comments = _lossless.scan(source)
    assert [token for _, token in found] == values
    assert len(found_comments) == comments
    for offset, token in found:
        assert source[offset : offset + len(token)] == token


def test_scanner_reports_what_it_cannot_follow():
    with pytest.raises(_lossless.Unreadable) as info:
        _lossless.scan("a = 1\nb = = 2\n")
    assert info.value.offset == 10
    assert _lossless.line_and_column("a = 1\nb = = 2\n", 10) == (2, 5)


def test_every_valid_case_scans_and_formatted_text_loses_nothing(shared_dir):
    # The multiset comparison is exact only if the writer's text is
    # canonical: formatting it again must change no value token (here: no
    # text at all).
    root = pathlib.Path(shared_dir) / "toml-test"
    names = (root / "files-toml-1.1.0").read_text().split()
    checked = 0
    for name in names:
        if not (name.startswith("valid/") and name.endswith(".toml")):
            continue
        source = (root / name).read_text(encoding="utf-8")
        formatted = vexil.dumps(vexil.loads(source))
        _lossless.losses(source, formatted)  # raises Unreadable if the scanner is lost
        _lossless.scan(formatted)
        assert vexil.dumps(vexil.loads(formatted)) == formatted, name
        checked += 1
    assert checked > 200
