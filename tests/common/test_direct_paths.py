"""The direct paths of the shared layer: nothing read from a per-type memo is
held across code that can run Python (a key's __eq__, a finalizer run by a
collection while an instance dict is made), whose use of records of other
types may reuse the memo's slots; one gate, asked the same way by every
module, knows the methods any module made; members cleared by the collector
refuse to run instead of calling nothing."""
import gc
import os
import sys

import pytest

import _common_probe as cp
from crashcheck import run_isolated
from tarvok.compiler import ostrane as o
from tarvok.compiler import zel_wave
from tarvok.zelvo import _ir, kernel

# Many subclasses, so that some share a memo slot with the type under test.
WAITS = [type(f"Wait{i}", (o.QInsWait,), {}) for i in range(300)]
NOPS = [type(f"Nop{i}", (_ir.IRNop,), {}) for i in range(300)]


class Frame(o.QInsFrame):
    pass


def frame():
    r = Frame("f", 1e8)
    r.frame_idx = 2
    return r


CASES = [
    pytest.param(frame, bytes, lambda: [bytes(w("w")) for w in WAITS], id="record word"),
    pytest.param(lambda: _ir.IRMov(3, 5), str, lambda: [str(n()) for n in NOPS], id="instruction text"),
]


@pytest.mark.parametrize("make, render, others", CASES)
def test_an_instance_key_comparing_with_a_step_name_uses_other_types(make, render, others):
    class Key:
        def __hash__(self):
            return hash("_check_attr")

        def __eq__(self, other):
            others()
            return False

    expected = render(make())
    for _ in range(2):
        rec = make()
        rec.__dict__[Key()] = 1
        assert render(rec) == expected


class Finalizer:
    def __init__(self, action):
        self.action = action
        self.me = self  # a cycle: only the collector frees it

    def __del__(self):
        self.action()


@pytest.mark.parametrize("make, render, others", CASES)
def test_a_collection_during_the_call_runs_finalizers_using_other_types(make, render, others):
    expected = render(make())
    old = gc.get_threshold()
    try:
        # Each threshold lets the collection start at another allocation of
        # the call, the making of the instance dict among them.
        for threshold in range(1, 40):
            rec = make()
            gc.collect()
            Finalizer(others)
            gc.set_threshold(threshold)
            got = render(rec)
            gc.set_threshold(*old)
            assert got == expected, threshold
    finally:
        gc.set_threshold(*old)
        gc.collect()


# ---- one method type, one gate ---------------------------------------------------

MEMBERS = [_ir.IRBase.__dict__["__str__"], _ir.IRMov.__dict__["_pack_cmd"], o.TVKCommand.__dict__["__bytes__"],
           zel_wave.InstructionQ.__dict__["_compile"], kernel.Kernel.__dict__["parse"],
           cp.Demo.__dict__["defining"], cp.Demo.__dict__["must"]]


def test_every_module_makes_its_methods_of_one_type():
    assert len({type(m) for m in MEMBERS}) == 1


class MovLine(_ir.IRMov):
    def _pack_cmd(self):
        return "own line"


class Redirected(_ir.IRMov):
    def __getattribute__(self, name):
        return super().__getattribute__(name)


class DemoImpl(cp.Demo):
    def must(self):
        return None


def shadowed(make, name):
    def build():
        x = make()
        setattr(x, name, lambda: "mine")
        return x
    return build


@pytest.mark.parametrize("make, name, opens", [
    (lambda: _ir.IRMov(3, 5), "_pack_cmd", True),
    (lambda: o.QInsFrame("f", 1e8), "_check_attr", True),
    (lambda: zel_wave.InstructionQ(), "_compile", True),
    (lambda: DemoImpl(), "defining", True),
    (lambda: MovLine(3, 5), "_pack_cmd", False),
    (shadowed(lambda: _ir.IRMov(3, 5), "_pack_cmd"), "_pack_cmd", False),
    (lambda: Redirected(3, 5), "_pack_cmd", False),
    (lambda: _ir.IRMov(3, 5), "idx", False),
])
def test_the_gate_of_one_module_knows_the_methods_of_another(make, name, opens):
    # Without the interpreter's insides (the generic build) no gate opens.
    opens = opens and cp.insides()[1]
    for _ in range(2):  # the first call fills the memo, the next one uses it
        assert cp.gate_opens(make(), name) is opens


def test_the_interpreter_insides_are_used_only_on_the_version_built_for():
    compiled, used, built_for = cp.insides()
    assert built_for == sys.version_info[:2]
    assert used == compiled


# ---- members cleared by the collector ----------------------------------------------

def test_cleared_members_refuse_to_run():
    # In a child: calling what a cleared member points to would crash.
    out = run_isolated(f"""
        import sys
        sys.path.insert(0, {os.path.dirname(cp.__file__)!r})
        import _common_probe as cp
        from tarvok.zelvo import kernel

        def outcome(call, *args):
            try:
                call(*args)
            except TypeError as e:
                return str(e)
            return "ran"

        demo = cp.make_demo()
        impl = type("Impl", (demo,), {{"must": lambda self: None}})()
        # a direct entry, and a plain callable behind an abstract one; each
        # by the vector call and by the generic one
        for name in ("defining", "must"):
            method = demo.__dict__[name]
            cp.clear(method)
            print(outcome(method, impl), "|", outcome(method.__call__, impl))

        @kernel.kernel
        def pulse():
            pass

        cp.clear(pulse)
        print(outcome(pulse))
    """)
    assert out.splitlines() == ["method was cleared | method was cleared"] * 2 + ["wrapper was cleared"]


def test_a_constant_that_could_not_be_made_is_made_at_the_next_use():
    out = run_isolated("""
        import numpy as np
        from tarvok.zelvo import _ir
        ir = _ir.IRCapture([0], 1e-7, 0, 0)
        maximum = np.maximum
        del np.maximum
        try:
            ir._max
        except AttributeError as e:
            print("first:", type(e).__name__)
        np.maximum = maximum
        print("then:", ir._max)
    """)
    assert out.split() == ["first:", "AttributeError", "then:", "1e-07"]
