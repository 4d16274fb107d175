"""The layout of written documents: table grouping, headers, arrays of tables,
compact and pretty arrays, inline tables."""

import pytest

from vexil._vexil import serialize, serialize_pretty


def lines(*parts):
    """A document from its lines, each ending in a line feed."""
    return "".join(part + "\n" for part in parts)


# (object, kwargs, compact text, pretty text or None when it is the same)
LAYOUTS = {
    "grouped example": (
        {"title": "x", "owner": {"name": "a", "dob": {}}, "items": [{"id": 1}, {"id": 2}], "tags": ["p", "q"]},
        {},
        lines("title = \"x\"", "tags = [\"p\", \"q\"]", "", "[[items]]", "id = 1", "", "[[items]]", "id = 2", "",
              "[owner]", "name = \"a\"", "", "[owner.dob]"),
        lines("title = \"x\"", "tags = [", "    \"p\",", "    \"q\",", "]", "", "[[items]]", "id = 1", "",
              "[[items]]", "id = 2", "", "[owner]", "name = \"a\"", "", "[owner.dob]"),
    ),
    "order within groups": ({"list": [1], "n": 1}, {}, lines("n = 1", "list = [1]"), None),
    "empty sub-table": ({"t": {}}, {}, lines("[t]"), None),
    "table with only a table": ({"t": {"u": {"a": 1}}}, {}, lines("[t.u]", "a = 1"), None),
    "table with only an array of tables": ({"t": {"u": [{"a": 1}]}}, {}, lines("[[t.u]]", "a = 1"), None),
    "table with lines and a table": (
        {"t": {"a": 1, "u": {"b": 2}}}, {}, lines("[t]", "a = 1", "", "[t.u]", "b = 2"), None),
    "value then table": ({"a": 1, "t": {"b": 2}}, {}, lines("a = 1", "", "[t]", "b = 2"), None),
    "empty array-of-tables element": ({"x": [{"a": 1}, {}]}, {}, lines("[[x]]", "a = 1", "", "[[x]]"), None),
    "nested arrays of tables": (
        {"x": [{"y": [{"z": 1}]}]}, {}, lines("[[x]]", "", "[[x.y]]", "z = 1"), None),
    "array of tables then tables": (
        {"t": {"a": 1}, "x": [{"b": 2}], "c": 3},
        {},
        lines("c = 3", "", "[[x]]", "b = 2", "", "[t]", "a = 1"),
        None,
    ),
    "tuple of tables": ({"x": ({"a": 1},)}, {}, lines("[[x]]", "a = 1"), None),
    "quoted header path": ({"a b": {"c": {"d": 1}}}, {}, lines('["a b".c]', "d = 1"), None),
    "dotted key is quoted": ({"a.b": {"c": 1}}, {}, lines('["a.b"]', "c = 1"), None),
    "mixed array is inline": (
        {"x": [1, {"a": 1}]}, {}, lines("x = [1, { a = 1 }]"), lines("x = [", "    1,", "    { a = 1 },", "]")),
    "array of one empty dict": ({"a": [{}]}, {}, lines("[[a]]"), None),
    "nested array of dicts": ({"a": [[{}]]}, {}, lines("a = [[{}]]"), None),
    "empty array": ({"a": []}, {}, lines("a = []"), None),
    "one-element array": ({"a": [1]}, {}, lines("a = [1]"), None),
    "pretty array": ({"a": [1, 2]}, {}, lines("a = [1, 2]"), lines("a = [", "    1,", "    2,", "]")),
    "pretty nested arrays": (
        {"a": [[1, 2], 3]},
        {},
        lines("a = [[1, 2], 3]"),
        lines("a = [", "    [", "    1,", "    2,", "],", "    3,", "]"),
    ),
    "pretty skipped None": ({"a": [None, 1]}, {}, lines("a = [1]"), lines("a = [", "    1,", "]")),
    "pretty all None": ({"a": [None, None]}, {}, lines("a = []"), lines("a = []")),
    "inline tables": (
        {"x": [{"a": 1, "b": [1, 2]}, {}]},
        {"none_value": "nil"},
        lines("[[x]]", "a = 1", "b = [1, 2]", "", "[[x]]"),
        lines("[[x]]", "a = 1", "b = [", "    1,", "    2,", "]", "", "[[x]]"),
    ),
    "inline table groups": (
        {"x": [1, {"t": {"u": 1}, "l": [1], "p": 1}]},
        {},
        lines("x = [1, { p = 1, l = [1], t = { u = 1 } }]"),
        lines("x = [", "    1,", "    { p = 1, l = [1], t = { u = 1 } },", "]"),
    ),
    "pretty array inside an inline table": (
        {"x": [0, {"l": [1, 2]}]},
        {},
        lines("x = [0, { l = [1, 2] }]"),
        lines("x = [", "    0,", "    { l = [", "    1,", "    2,", "] },", "]"),
    ),
    "inline array of arrays of dicts": (
        {"x": [[{"a": [{"b": 1}]}]]}, {}, lines("x = [[{ a = [{ b = 1 }] }]]"), None),
    "None element with none_value is not a table": (
        {"x": [{"a": 1}, None]}, {"none_value": "nil"}, lines('x = [{ a = 1 }, "nil"]'),
        lines("x = [", "    { a = 1 },", '    "nil",', "]"),
    ),
    "header quoting in arrays of tables": (
        {"": [{"k": 1}], "é": {"'": {}}}, {}, lines('[[""]]', "k = 1", "", '["é"."\'"]'), None),
    "tables deep in arrays of tables": (
        {"a": [{"b": {"c": {"d": 1}}, "e": 2}]},
        {},
        lines("[[a]]", "e = 2", "", "[a.b.c]", "d = 1"),
        None,
    ),
}


@pytest.mark.parametrize("obj, kwargs, compact, pretty", LAYOUTS.values(), ids=LAYOUTS.keys())
def test_layout(obj, kwargs, compact, pretty):
    assert serialize(obj, **kwargs) == compact
    assert serialize_pretty(obj, **kwargs) == (compact if pretty is None else pretty)


def test_pretty_indentation_does_not_grow_with_depth():
    text = serialize_pretty({"a": [[[1, 2], [3]], 4]})
    assert text == lines("a = [", "    [", "    [", "    1,", "    2,", "],", "    [3],", "],", "    4,", "]")


def test_large_table_keeps_insertion_order():
    obj = {f"k{i}": i for i in range(1000, 0, -1)}
    text = serialize(obj)
    assert text == "".join(f"k{i} = {i}\n" for i in range(1000, 0, -1))
