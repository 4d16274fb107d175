"""The editor over every valid toml-test case and every benchmark document:
the text comes back byte for byte, and single edits of every key read back
as the same edit made on plain data, with the rest of the text kept."""

import copy

import pytest

import vexil
from vexil import Document
from vexil._document import _same as same


def _valid_cases(shared):
    listing = (shared / "toml-test" / "files-toml-1.1.0").read_text().split()
    return [name for name in listing if name.startswith("valid/") and name.endswith(".toml")]


def pytest_generate_tests(metafunc):
    if "valid_case" in metafunc.fixturenames:
        from conftest import SHARED

        names = _valid_cases(SHARED) if (SHARED / "toml-test").is_dir() else []
        metafunc.parametrize("valid_case", names)


BENCH = ["pyproject.toml", "poetry.lock.toml", "twitter.toml", "citm_catalog.toml", "data.toml"]


@pytest.fixture
def case_bytes(shared_dir, valid_case):
    return (shared_dir / "toml-test" / valid_case).read_bytes()


def test_valid_case_round_trips(case_bytes):
    doc = Document(case_bytes)
    assert doc.dumps().encode("utf-8") == case_bytes
    assert same(doc.to_dict(), vexil.loads(case_bytes))


@pytest.mark.parametrize("name", BENCH)
def test_benchmark_document_round_trips(shared_dir, name):
    data = (shared_dir / "bench" / name).read_bytes()
    doc = Document(data)
    assert str(doc).encode("utf-8") == data
    assert str(Document(data.decode("utf-8"))) == data.decode("utf-8")


def _leaves(table, path=()):
    """Paths of every key of every table reachable through keys and indexes."""
    for key in list(table):
        value = table[key]
        yield path + (key,)
        if isinstance(value, vexil._document.Table):
            yield from _leaves(value, path + (key,))
        elif isinstance(value, vexil._document.Array):
            for i in range(len(value)):
                if isinstance(value[i], vexil._document.Table):
                    yield from _leaves(value[i], path + (key, i))


def _walk(root, path):
    for step in path:
        root = root[step]
    return root


def test_every_key_of_a_valid_case_can_be_deleted_and_replaced(case_bytes):
    original = vexil.loads(case_bytes)
    for path in list(_leaves(Document(case_bytes))):
        doc = Document(case_bytes)
        expected = copy.deepcopy(original)
        del _walk(expected, path[:-1])[path[-1]]
        del _walk(doc, path[:-1])[path[-1]]
        assert same(doc.to_dict(), expected), path
        assert same(vexil.loads(str(doc)), expected), path

        doc = Document(case_bytes)
        expected = copy.deepcopy(original)
        _walk(expected, path[:-1])[path[-1]] = "new"
        _walk(doc, path[:-1])[path[-1]] = "new"
        assert same(vexil.loads(str(doc)), expected), path

        doc = Document(case_bytes)
        expected = copy.deepcopy(original)
        table = _walk(expected, path[:-1])
        table["added-key"] = {"x": [1, {"y": 2}]} if "added-key" not in table else 1
        _walk(doc, path[:-1])["added-key"] = table["added-key"]
        assert same(vexil.loads(str(doc)), expected), path
