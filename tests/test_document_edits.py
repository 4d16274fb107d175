"""Random edit sequences on vexil.Document against the same edits on plain
data: after every step the document's data, and the data its text reads
back as, equal the plain data (so the text always parses)."""

import datetime as dt

from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

import vexil
from vexil import Document
from vexil._document import _same

SEEDS = [
    "",
    "a = 1  # one\nb = [1, 2]\n\n[t]\nx = 'x'\n\n[t.sub]\ny = 2\n",
    "a.b.c = 1\na.d = { e = [1, { f = 2 }] }\n[s]\nk.l = true\n",
    "[[p]]\nn = 1\n[p.q]\nm = 2\n\n[[p]]\nn = 3\n\n[u.v]\nw = 0\n",
    "arr = [\n  1,  # one\n  [2, 3],\n  { x = 1 },\n]\nt = {}\r\n[x]\r\ny = 1\r\n",
    "\ufeffa = 1\r\nb = [\r\n  1, # c\r\n  2\r\n]\r\n[t]\r\nx = 1",
    "[[a]]\n[[a.b]]\nc = 1\n[[a.b]]\n[[a]]\n[a.d]\ne = 1\n",
    "k = '''\nml\n'''\n\"quoted key\" = 1979-05-27T07:32:00Z\n[s]\n'lit'.x = 1\n# trailing",
]

KEYS = st.sampled_from(["a", "b", "x", "n", "key with space", "ü", "d.e", ""])
SCALARS = st.one_of(
    st.integers(-(2**63), 2**63 - 1),
    st.text(max_size=4),
    st.booleans(),
    st.floats(allow_nan=False),
    st.dates(min_value=dt.date(1, 1, 1)),
    st.times(),
)
VALUES = st.recursive(
    SCALARS,
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(KEYS, inner, max_size=3),
    max_leaves=6,
)


def _containers(data, path=()):
    """(path, container) for every table and array in the data."""
    yield path, data
    items = data.items() if isinstance(data, dict) else enumerate(data)
    for key, value in items:
        if isinstance(value, (dict, list)):
            yield from _containers(value, path + (key,))


def _at(root, path):
    for step in path:
        root = root[step]
    return root


class EditSequence(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.doc = None
        self.model = None

    @precondition(lambda self: self.doc is None)
    @rule(text=st.sampled_from(SEEDS))
    def start(self, text):
        self.doc = Document(text)
        self.model = vexil.loads(text)

    def _pick(self, data, kind):
        choices = [p for p, c in _containers(self.model) if isinstance(c, kind)]
        return data.draw(st.sampled_from(choices))

    @precondition(lambda self: self.doc is not None)
    @rule(data=st.data(), key=KEYS, value=VALUES)
    def set_key(self, data, key, value):
        path = self._pick(data, dict)
        _at(self.model, path)[key] = value
        _at(self.doc, path)[key] = value

    @precondition(lambda self: self.doc is not None)
    @rule(data=st.data())
    def delete_key(self, data):
        choices = [p + (k,) for p, c in _containers(self.model) if isinstance(c, dict) for k in c]
        if not choices:
            return
        path = data.draw(st.sampled_from(choices))
        del _at(self.model, path[:-1])[path[-1]]
        del _at(self.doc, path[:-1])[path[-1]]

    @precondition(lambda self: self.doc is not None)
    @rule(data=st.data(), value=VALUES, where=st.integers(-4, 4), op=st.sampled_from(["append", "insert", "set", "del"]))
    def edit_array(self, data, value, where, op):
        choices = [p for p, c in _containers(self.model) if isinstance(c, list)]
        if not choices:
            return
        path = data.draw(st.sampled_from(choices))
        plain, view = _at(self.model, path), _at(self.doc, path)
        if op == "append":
            plain.append(value)
            view.append(value)
        elif op == "insert":
            plain.insert(where, value)
            view.insert(where, value)
        elif plain and -len(plain) <= where < len(plain):
            if op == "set":
                plain[where] = value
                view[where] = value
            else:
                del plain[where]
                del view[where]

    @invariant()
    def text_reads_back_as_the_data(self):
        if self.doc is None:
            return
        assert _same(self.doc.to_dict(), self.model)
        assert _same(vexil.loads(str(self.doc)), self.model)


EditSequence.TestCase.settings = settings(
    max_examples=int(__import__("os").environ.get("VEXIL_EDIT_EXAMPLES", "60")), stateful_step_count=12, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
TestEditSequence = EditSequence.TestCase
