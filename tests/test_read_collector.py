"""Reading pauses the cyclic garbage collector while it builds the result:
the collector's switch is left exactly as the caller had it, whether the
build succeeds or fails half-way, and other threads never see it changed."""

import gc
import sys
import threading

import pytest

from vexil import _vexil

# Enough containers to cross the collector's threshold many times over.
BIG = "\n".join(f"[[item]]\nid = {i}\ntags = ['a', 'b']\nsub = {{ x = [{i}] }}" for i in range(3000))

FAILING = [
    # The builder, not the parser, rejects these, after building part of the tree.
    pytest.param(BIG + "\n[last]\nf = 1e400\n", id="float overflow after a large tree"),
    pytest.param(BIG + "\n[last]\nn = 340282366920938463463374607431768211456\n", id="integer overflow"),
    pytest.param("a = [[1, 2], [3, {b = 1e999}]]\n", id="inside nested arrays"),
]


@pytest.fixture
def collector():
    """Restores the collector's switch whatever a test does with it."""
    was_enabled = gc.isenabled()
    yield
    if was_enabled:
        gc.enable()
    else:
        gc.disable()


@pytest.mark.parametrize("enabled", [True, False])
def test_switch_unchanged_after_a_build(collector, enabled):
    (gc.enable if enabled else gc.disable)()
    result = _vexil.deserialize(BIG)
    assert len(result["item"]) == 3000
    assert gc.isenabled() is enabled


@pytest.mark.parametrize("enabled", [True, False])
@pytest.mark.parametrize("text", FAILING)
def test_switch_unchanged_after_a_failed_build(collector, enabled, text):
    (gc.enable if enabled else gc.disable)()
    with pytest.raises(_vexil.TomlParsingError, match="overflowed"):
        _vexil.deserialize(text)
    assert gc.isenabled() is enabled


def test_other_threads_never_see_the_switch_move(collector):
    """A thread that toggles the collector while another thread reads must
    always find the switch where it last put it."""
    gc.enable()
    stop = threading.Event()
    seen_wrong = []

    def toggle():
        while not stop.is_set():
            gc.disable()
            if gc.isenabled():
                seen_wrong.append("enabled after disable")
            gc.enable()
            if not gc.isenabled():
                seen_wrong.append("disabled after enable")

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    thread = threading.Thread(target=toggle)
    thread.start()
    try:
        for _ in range(30):
            _vexil.deserialize(BIG)
            with pytest.raises(_vexil.TomlParsingError):
                _vexil.deserialize(FAILING[2].values[0])
    finally:
        stop.set()
        thread.join()
        sys.setswitchinterval(interval)
    assert seen_wrong == []
    assert gc.isenabled()
