"""The module as a whole: its names, the checker classes and their defaults,
error records, argument tests and the global names a check reads."""
import abc
import copy

import pytest

from crashcheck import run_isolated
from helpers import instancecheck_refusing_marked, raised
from tarvok.zelvo import _checkers as ck
from tarvok.zelvo import _errors
from tarvok.zelvo import _ir as ir

ALL = ["BaseChecker", "OverlapChecker", "EnvelopeChecker", "TwoCapiChecker", "SequenceChecker", "PlyChecker",
       "DrstChecker", "CapiChecker", "FmsiChecker", "IRNumberChecker", "WaveformChecker", "ProtChecker",
       "EmptyWtgChecker"]
FUNCTIONS = ["append_error", "check_overlap_time", "check_limit", "check_wait_time", "ir_calculate_time",
             "count_nops", "check_envelope", "check_ply", "drst_before_check", "two_capi_check"]
DEFAULT_ORDER = ["OverlapChecker", "EnvelopeChecker", "FmsiChecker", "PlyChecker", "DrstChecker",
                 "IRNumberChecker", "TwoCapiChecker", "EmptyWtgChecker", "WaveformChecker", "ProtChecker"]
LIST_ERROR = "Argument '{}' has incorrect type (expected {}, got {})"


def test_module_holds_its_imports_functions_and_checkers_only():
    names = {n for n in vars(ck) if not n.startswith("__")}
    expected = set(ir.__all__) | {"copy", "TimingError", "PlayError", "CaptureError"} | set(FUNCTIONS) | set(ALL)
    assert names == expected
    assert ck.__all__ == ALL
    assert ck.copy is copy
    assert all(getattr(ck, n) is getattr(ir, n) for n in ir.__all__)
    assert (ck.TimingError, ck.PlayError, ck.CaptureError) == (
        _errors.TimingError, _errors.PlayError, _errors.CaptureError)
    star = {}
    exec("from tarvok.zelvo._checkers import *", star)
    assert set(star) - {"__builtins__"} == set(ALL)


def test_checker_classes_defaults_and_shared_class_lists():
    base = ck.BaseChecker
    assert base.__bases__ == (object,) and base.__module__ == "tarvok.zelvo._checkers"
    assert base.warnings_instruction == [] and base.error_instruction == [] and base.IR_list == []
    assert len({id(base.warnings_instruction), id(base.error_instruction), id(base.IR_list)}) == 3
    for name in ALL[1:]:
        cls = getattr(ck, name)
        assert cls.__bases__ == (base,)
        obj = cls()
        assert obj.IR_list is base.IR_list
        assert vars(obj) == ({"enable": False} if name == "EmptyWtgChecker" else {})
        with pytest.raises(TypeError):
            cls(1)
    # Every default checker answers the empty program with its list and no record.
    for name in DEFAULT_ORDER:
        lst = []
        out, errors = getattr(ck, name)().check_ir(lst)
        assert out == [] and errors == []
        assert (out is lst) == (name not in ("OverlapChecker", "EnvelopeChecker"))


def test_python_subclasses_run_their_base_constructor():
    class Mine(ck.EmptyWtgChecker):
        def __init__(self):
            super().__init__()
            self.extra = 1

    m = Mine()
    assert (m.enable, m.extra) == (False, 1)
    assert m.check_ir([]) == ([], [])


@pytest.mark.parametrize("where", ["class", "base"])
def test_an_init_assigned_later_is_the_one_run(where, monkeypatch):
    made = []
    cls = ck.EmptyWtgChecker if where == "class" else ck.BaseChecker
    ck.EmptyWtgChecker()
    monkeypatch.setattr(cls, "__init__", lambda self, *a: made.append(a))
    if where == "base":
        monkeypatch.delattr(ck.EmptyWtgChecker, "__init__")
    ck.EmptyWtgChecker()
    ck.EmptyWtgChecker(1)
    assert made == [(), (1,)]
    monkeypatch.undo()
    with pytest.raises(TypeError, match=r"^__init__\(\) takes exactly 1 positional argument \(2 given\)$"):
        ck.EmptyWtgChecker(1)
    assert ck.EmptyWtgChecker().enable is False


@pytest.mark.parametrize("name", ["BaseChecker", "SequenceChecker"])
def test_copy_checkers_return_a_plain_list_copy(name):
    a, b = ir.IRNop(), ir.IRNop()
    src = [a, b]
    out = getattr(ck, name)().check_ir(src)
    assert out == src and out is not src and out[0] is a
    assert getattr(ck, name)().check_ir(None) is None
    with pytest.raises(TypeError, match=r"^Expected list, got tuple$"):
        getattr(ck, name)().check_ir((a, b))
    param = "IR_list" if name == "BaseChecker" else "ir_list"
    assert getattr(ck, name)().check_ir(**{param: [a]}) == [a]


@pytest.mark.parametrize("index, prev, cur, nxt", [
    (0, None, "a", "b"),
    (1, "a", "b", "c"),
    (2, "b", "c", None),
    (1.0, "a", "b", "c"),
    (True, "a", "b", "c"),
    (-1, None, "c", "a"),   # list indexing counts a negative position from the end
])
def test_append_error_neighbours_come_from_the_list_named(index, prev, cur, nxt):
    items = {k: ir.IRNop() for k in "abc"}
    lst = [items["a"], items["b"], items["c"]]
    error = []
    out = ck.append_error(index, lst, error, "m", KeyError)
    assert out is error
    assert error == [["m", items.get(prev), items[cur], items.get(nxt), KeyError, "0x1000"]]


def test_append_error_past_the_end_single_item_codes_and_fresh_records():
    a = ir.IRNop()
    for lst, index in [([a], 1), ([], 0), ([a, a, a], 3), ([a], 2 ** 80)]:
        assert ck.append_error(index, lst, [], "m", KeyError) == []
    assert ck.append_error(0, [a], [], "m", KeyError) == [["m", None, a, None, KeyError, "0x1000"]]
    err = ck.append_error(0, [a], [], "m", KeyError, "0x1001")
    err = ck.append_error(0, [a], err, "m", KeyError, error_code=None)
    assert [r[5] for r in err] == ["0x1001", None]
    assert err[0] is not err[1]
    with pytest.raises(IndexError, match="list index out of range"):
        ck.append_error(-5, [a, a], [], "m", KeyError)
    with pytest.raises(IndexError, match="cannot fit 'int' into an index-sized integer"):
        ck.append_error(-2 ** 80, [a, a], [], "m", KeyError)


class MyList(list):
    pass


@pytest.mark.parametrize("call, message", [
    (lambda: ck.append_error("1", [], [], "m", KeyError), LIST_ERROR.format("index", "int", "str")),
    (lambda: ck.append_error(None, [], [], "m", KeyError), LIST_ERROR.format("index", "int", "NoneType")),
    (lambda: ck.append_error(0, (1,), [], "m", KeyError), LIST_ERROR.format("ir_list", "list", "tuple")),
    (lambda: ck.append_error(0, MyList(), [], "m", KeyError), LIST_ERROR.format("ir_list", "list", "MyList")),
    (lambda: ck.append_error(0, [], None, "m", KeyError), LIST_ERROR.format("error", "list", "NoneType")),
    (lambda: ck.ir_calculate_time(0, ()), LIST_ERROR.format("IR_list", "list", "tuple")),
    (lambda: ck.ir_calculate_time([], []), LIST_ERROR.format("index", "int", "list")),
    (lambda: ck.check_overlap_time([], ()), LIST_ERROR.format("error", "list", "tuple")),
    (lambda: ck.check_limit(0, None, []), LIST_ERROR.format("ir_list", "list", "NoneType")),
    (lambda: ck.check_wait_time((), []), LIST_ERROR.format("ir_list", "list", "tuple")),
    (lambda: ck.check_envelope((), 0, []), LIST_ERROR.format("ir_list", "list", "tuple")),
    (lambda: ck.check_ply([], 0, ()), LIST_ERROR.format("error", "list", "tuple")),
    (lambda: ck.drst_before_check([], 0, [], None, b"m"), LIST_ERROR.format("msg", "str", "bytes")),
    (lambda: ck.two_capi_check([], "0", [], None, "m"), LIST_ERROR.format("index", "int", "str")),
    (lambda: ck.OverlapChecker().check_ir(()), LIST_ERROR.format("ir_list", "list", "tuple")),
    (lambda: ck.append_error(0, [], []), "append_error() takes at least 5 positional arguments (3 given)"),
    (lambda: ck.count_nops(0, [], x=1), "count_nops() got an unexpected keyword argument 'x'"),
    (lambda: ck.PlyChecker().check_ir(), "check_ir() takes exactly 2 positional arguments (1 given)"),
])
def test_argument_tests(call, message):
    assert raised(TypeError, call) == message


def test_index_of_a_declared_int_is_converted_as_int_does():
    a = ir.IRNop()
    assert ck.append_error(1.9, [a, a, a], [], "m", KeyError)[0][1] is a
    f = ir.IRFrame(1e9, 0, 0)
    assert ck.drst_before_check([f], 0.5, [], None, "m") == ([], f)
    with pytest.raises(TypeError):
        ck.append_error(1j, [a], [], "m", KeyError)


def test_checks_read_the_names_when_they_run(monkeypatch, b):
    # A rebound class name is honoured, as a Python module's globals would be.
    plays = [b.play(amp=2)]
    assert len(ck.PlyChecker().check_ir(plays)[1]) == 1
    monkeypatch.setattr(ck, "IRPlayImm", ir.IRFrame)
    assert ck.PlyChecker().check_ir(plays)[1] == []
    monkeypatch.setattr(ck, "PlayError", KeyError)
    assert ck.FmsiChecker().check_ir([b.frame(2e10)])[1][0][4] is KeyError
    monkeypatch.delattr(ck, "IRFrame")
    with pytest.raises(NameError, match="name 'IRFrame' is not defined"):
        ck.FmsiChecker().check_ir([b.frame()])


def test_instance_tests_honour_registered_and_custom_classes(b):
    class Registered:
        freq = 2e10

    class SneakyClass:
        # An object that claims another class is an instance of it.
        freq = 3e10
        __class__ = ir.IRFrame

    class Chameleon:
        # Each instance tells its own class: the answer for one cannot stand
        # for the other.
        freq = 4e10

        def __init__(self, frame):
            self.frame = frame

        def __getattribute__(self, name):
            if name == "__class__" and object.__getattribute__(self, "frame"):
                return ir.IRFrame
            return object.__getattribute__(self, name)

    ir.IRFrame.register(Registered)  # abc registration is permanent: use a throwaway class
    r, s = Registered(), SneakyClass()
    plain, posing = Chameleon(False), Chameleon(True)
    errors = ck.FmsiChecker().check_ir([r, plain, s, posing, plain, b.frame(1e9)])[1]
    assert [e[2] for e in errors] == [r, s, posing]


def test_instance_tests_run_the_code_abcmeta_has_now(monkeypatch):
    """ABCMeta keeps its identity and version tag when the code of its
    __instancecheck__ is replaced in place: the answers are that code's."""
    frame_class = type("Frame", (ir.IRFrame,), {})
    frames = [frame_class(2e10, 0, 0) for _ in range(3)]
    checker = ck.FmsiChecker()
    assert [e[2] for e in checker.check_ir(frames)[1]] == frames
    frames[1]._tvk_refused = True
    monkeypatch.setattr(abc.ABCMeta.__instancecheck__, "__code__", instancecheck_refusing_marked.__code__)
    assert not isinstance(frames[1], ir.IRFrame)
    assert [e[2] for e in checker.check_ir(frames)[1]] == [frames[0], frames[2]]
    monkeypatch.undo()
    assert [e[2] for e in checker.check_ir(frames)[1]] == frames


IMPORT_FAILS = r'''
import sys, types
import tarvok.zelvo
fake = types.ModuleType("tarvok.zelvo._errors")
fake.TimingError = fake.PlayError = type("E", (Exception,), {})
sys.modules["tarvok.zelvo._errors"] = fake
try:
    import tarvok.zelvo._checkers
except ImportError as e:
    print("ImportError:", e, e.name)
'''


def test_import_fails_when_an_error_class_is_missing():
    out = run_isolated(IMPORT_FAILS, timeout=120)
    assert out.strip() == ("ImportError: cannot import name 'CaptureError' from 'tarvok.zelvo._errors' "
                           "(unknown location) tarvok.zelvo._errors")
