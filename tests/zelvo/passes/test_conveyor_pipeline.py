"""The pass pipeline: call order, keyword passing, fresh pass objects, the
kernel's list left alone, and every point where a run can fail."""
import re
import types
from collections.abc import Mapping

import numpy as np
import pytest

from tarvok.zelvo import _conveyor, _errors
from tarvok.zelvo._conveyor import Conveyor, ConveyorBase, conveyor
from tarvok.zelvo.kernel import form_kernel, kernel


class Record(Exception):
    """The error class a fake checker reports."""


class RecordingKernel:
    """A kernel as the pipeline sees it, writing every call into `log`;
    `with_error` raises the first record as the real kernel does."""

    def __init__(self, instruction_list=None, compile_params=None, **pass_params):
        self.log = []
        self.instruction_list = ["a", "b"] if instruction_list is None else instruction_list
        self.compile_params = {"base_clock": 4e-9, "intra_enable": False} if compile_params is None else compile_params
        self.pass_params = {"rules": [], "checkers": [], "optimizers": [], "translate": self.translator()}
        self.pass_params.update(pass_params)
        self.instr_target_map = {}

    def with_error(self, errors):
        self.log.append(("with_error", errors))
        if errors:
            raise errors[0][4](str(errors[0][0]))

    def stage(self, kind, method, name, answer, keywords=False, fail=None):
        """A pass class named `kind`: making one logs it (and raises `fail`),
        `method` logs its call and returns answer(ir_list); only a method
        with `keywords` takes keyword arguments."""
        log = self.log

        def __init__(self):
            log.append(("new", name))
            if fail:
                raise fail

        if keywords:
            def run(self, ir_list, **kwargs):
                log.append((method, name, ir_list, kwargs))
                return answer(ir_list)
        else:
            def run(self, ir_list):
                log.append((method, name, ir_list))
                return answer(ir_list)
        run.__name__ = method
        run.__qualname__ = f"{kind}.{method}"
        return type(kind, (), {"__init__": __init__, method: run})

    def translator(self, name="T"):
        return self.stage("Translator", "translate_ir", name, lambda ir_list: ("translated", ir_list), keywords=True)

    def rule(self, name, result=None, fail=None):
        """A rule that appends its name to the list it gets, or returns `result`."""
        return self.stage("Rule", "order_ins", name, lambda ir_list: ir_list + [name] if result is None else result,
                          keywords=True, fail=fail)

    def checker(self, name, errors=(), result=None):
        return self.stage("Checker", "check_ir", name,
                          lambda ir_list: (ir_list + [name], list(errors)) if result is None else result)

    def optimizer(self, name):
        return self.stage("Optimizer", "optimize_ir", name, lambda ir_list: ir_list + [name])

    def calls(self):
        return [entry[:2] if entry[0] != "with_error" else entry for entry in self.log]


def error(message, cls=Record, code="0x1000"):
    return [message, None, "offending", None, cls, code]


def full_kernel(**kw):
    k = RecordingKernel(**kw)
    k.pass_params.update(rules=[k.rule("R1"), k.rule("R2")], checkers=[k.checker("C1"), k.checker("C2")],
                         optimizers=[k.optimizer("O1"), k.optimizer("O2")])
    return k


def test_passes_run_in_order_each_on_the_previous_result():
    k = full_kernel()
    original = k.instruction_list
    result = conveyor(k)
    assert result == ("translated", ["a", "b", "R1", "R2", "C1", "C2", "O1", "O2"])
    assert k.calls() == [("new", "R1"), ("new", "R2"), ("order_ins", "R1"), ("order_ins", "R2"),
                         ("new", "C1"), ("new", "C2"), ("check_ir", "C1"), ("check_ir", "C2"),
                         ("with_error", []),
                         ("new", "O1"), ("new", "O2"), ("optimize_ir", "O1"), ("optimize_ir", "O2"),
                         ("new", "T"), ("translate_ir", "T")]
    first_rule_input = k.log[2][2]
    assert first_rule_input == ["a", "b"] and first_rule_input is not original
    assert k.instruction_list is original and original == ["a", "b"]


def test_rules_and_translator_get_compile_params_then_kernel_as_keywords():
    k = full_kernel(compile_params={"trig_align_time": 0, "base_clock": 4e-9})
    conveyor(k)
    for entry in k.log:
        if entry[0] in ("order_ins", "translate_ir"):
            assert list(entry[3]) == ["trig_align_time", "base_clock", "kernel"]
            assert entry[3]["kernel"] is k


def test_compile_and_pass_params_are_read_afresh_at_every_step():
    k = RecordingKernel()

    class Changer:
        def order_ins(self, ir_list, **kwargs):
            k.compile_params = {"changed": True}
            k.pass_params = dict(k.pass_params, optimizers=[k.optimizer("late")])
            return ir_list
    k.pass_params.update(rules=[Changer, k.rule("R")], optimizers=[k.optimizer("early")])
    conveyor(k)
    seen = [e for e in k.log if e[0] in ("order_ins", "translate_ir", "optimize_ir")]
    assert [e[1] for e in seen] == ["R", "late", "T"]
    assert seen[0][3] == {"changed": True, "kernel": k}


def test_every_run_makes_fresh_pass_objects():
    made = []

    class Rule:
        def __init__(self):
            made.append(self)

        def order_ins(self, ir_list, **kwargs):
            return ir_list
    k = RecordingKernel(rules=[Rule, Rule])
    conveyor(k)
    conveyor(k)
    assert len(made) == 4 and len({id(r) for r in made}) == 4


@pytest.mark.parametrize("drop_rules", [False, True])
def test_without_rules_the_checkers_get_a_copy_of_the_kernels_list(drop_rules):
    k = RecordingKernel(checkers=[])
    k.pass_params["checkers"] = [k.checker("C")]
    if drop_rules:
        del k.pass_params["rules"]
    conveyor(k)
    checked = k.log[1][2]
    assert checked == k.instruction_list and checked is not k.instruction_list


def test_empty_pass_lists_still_report_no_errors_and_translate_a_copy():
    k = RecordingKernel()
    result = conveyor(k)
    assert k.calls() == [("with_error", []), ("new", "T"), ("translate_ir", "T")]
    assert result[1] == k.instruction_list and result[1] is not k.instruction_list


def test_a_rule_that_changes_its_list_leaves_the_kernels_list_alone():
    class Shuffler:
        def order_ins(self, ir_list, **kwargs):
            ir_list.reverse()
            ir_list.append("x")
            del ir_list[0]
            return ir_list
    k = RecordingKernel(rules=[Shuffler])
    original = k.instruction_list
    conveyor(k)
    assert k.instruction_list is original and original == ["a", "b"]


def test_checker_results_unpack_like_a_pair():
    k = RecordingKernel()
    k.pass_params["checkers"] = [k.checker("C1", result=[["list"], iter([])]),
                                 k.checker("C2", result=iter([["gen"], (x for x in ())]))]
    assert conveyor(k) == ("translated", ["gen"])


@pytest.mark.parametrize("result, exc, text", [
    ((["a"], [], "extra"), ValueError, "too many values to unpack (expected 2)"),
    ([["a"]], ValueError, "not enough values to unpack (expected 2, got 1)"),
    (iter([["a"]]), ValueError, "not enough values to unpack (expected 2, got 1)"),
    (5, TypeError, "cannot unpack non-iterable int object"),
    ((["a"], 5), TypeError, "'int' object is not iterable"),
])
def test_a_malformed_checker_result_stops_the_run_before_errors_are_reported(result, exc, text):
    k = RecordingKernel()
    k.pass_params["checkers"] = [k.checker("C", result=result)]
    with pytest.raises(exc) as info:
        conveyor(k)
    assert str(info.value) == text
    assert ("with_error", []) not in k.log


def test_the_first_record_of_the_first_reporting_checker_is_raised_after_all_checkers():
    k = RecordingKernel()
    k.pass_params.update(checkers=[k.checker("C0"), k.checker("C1", [error("first"), error("second")]),
                                   k.checker("C2", [error("third", ValueError)])],
                         optimizers=[k.optimizer("O")])
    with pytest.raises(Record, match="^first$"):
        conveyor(k)
    assert [e[1] for e in k.log if e[0] == "check_ir"] == ["C0", "C1", "C2"]
    reported = [e[1] for e in k.log if e[0] == "with_error"]
    assert [r[0] for r in reported[0]] == ["first", "second", "third"]
    assert not [e for e in k.log if e[0] in ("new", "optimize_ir", "translate_ir") and e[1] in ("O", "T")]


def test_a_failing_rule_constructor_stops_the_run_before_any_rule_runs():
    k = RecordingKernel()
    k.pass_params["rules"] = [k.rule("R1"), k.rule("R2", fail=RuntimeError("no"))]
    with pytest.raises(RuntimeError, match="no"):
        conveyor(k)
    assert k.calls() == [("new", "R1"), ("new", "R2")]


def test_whatever_a_pass_returns_becomes_the_working_list():
    k = RecordingKernel()
    k.pass_params["rules"] = [type("NoneRule", (), {"order_ins": lambda self, ir_list, **kw: None}),
                              k.rule("R", result=())]
    assert conveyor(k) == ("translated", ())
    assert k.log[1][:3] == ("order_ins", "R", None)


class Params(Mapping):
    def __init__(self, d):
        self.d = d

    def __getitem__(self, k):
        return self.d[k]

    def __iter__(self):
        return iter(self.d)

    def __len__(self):
        return len(self.d)


def test_compile_params_may_be_any_mapping():
    k = RecordingKernel(compile_params=Params({"base_clock": 1.0}))
    k.pass_params["rules"] = [k.rule("R")]
    conveyor(k)
    assert k.log[1][3] == {"base_clock": 1.0, "kernel": k}
    assert type(k.log[-1][3]) is dict


@pytest.mark.parametrize("with_rule", [True, False])
@pytest.mark.parametrize("params, text", [
    (None, "argument after ** must be a mapping, not NoneType"),
    ([("a", 1)], "argument after ** must be a mapping, not list"),
    ({"kernel": 1}, "got multiple values for keyword argument 'kernel'"),
    ({"a": 1, type("Key", (str,), {})("kernel"): 1}, "got multiple values for keyword argument 'kernel'"),
    ({"a": 1, 2: 3}, "keywords must be strings"),
])
def test_unusable_compile_params_fail_at_the_first_rule_or_at_the_translator(params, text, with_rule):
    k = RecordingKernel()
    k.compile_params = params
    k.pass_params.update(checkers=[k.checker("C")], optimizers=[k.optimizer("O")])
    if with_rule:
        k.pass_params["rules"] = [k.rule("R")]
    with pytest.raises(TypeError, match=re.escape(text)):
        conveyor(k)
    ran = [e[0] for e in k.log if e[0] not in ("new",)]
    assert ran == ([] if with_rule else ["check_ir", "with_error", "optimize_ir"])


@pytest.mark.parametrize("missing, before", [
    ("checkers", ["order_ins"]),
    ("optimizers", ["order_ins", "check_ir", "with_error"]),
    ("translate", ["order_ins", "check_ir", "with_error", "optimize_ir"]),
])
def test_a_missing_pass_list_fails_with_its_key_after_the_earlier_steps(missing, before):
    k = RecordingKernel()
    k.pass_params.update(rules=[k.rule("R")], checkers=[k.checker("C")], optimizers=[k.optimizer("O")])
    del k.pass_params[missing]
    with pytest.raises(KeyError, match=missing):
        conveyor(k)
    assert [e[0] for e in k.log if e[0] != "new"] == before


@pytest.mark.parametrize("attr", ["instruction_list", "pass_params", "compile_params"])
def test_an_object_without_what_the_pipeline_reads_is_refused_before_any_pass(attr):
    k = RecordingKernel()
    k.pass_params["rules"] = [k.rule("R")]
    delattr(k, attr)
    with pytest.raises(TypeError, match=rf"^conveyor\(\) takes the kernel object that a @kernel function returns "
                                        rf"when called, not RecordingKernel <.* \(it has no {attr}\)$"):
        conveyor(k)
    assert k.log == []


def test_a_kernel_without_with_error_or_a_conveyor_without_kernel_fails_with_attribute_error():
    k = RecordingKernel()
    k.pass_params["rules"] = [k.rule("R")]
    bare = types.SimpleNamespace(**{n: getattr(k, n) for n in ("instruction_list", "compile_params", "pass_params")})
    with pytest.raises(AttributeError, match="with_error"):
        conveyor(bare)
    assert ("order_ins", "R") in k.calls()     # read where it is called, after the rules
    with pytest.raises(AttributeError, match="kernel"):
        Conveyor.run(types.SimpleNamespace())


def _undecorated():
    zv.wait_trig()  # noqa: F821 - a kernel's body, never run


TAKES = r"^conveyor\(\) takes the kernel object that a @kernel function returns when called, not "


@pytest.mark.parametrize("given, text", [
    (kernel(_undecorated), TAKES + r"the function _undecorated itself: call it with the kernel's argument values, "
                                   r"_undecorated\(\.\.\.\), and give conveyor\(\) what that returns$"),
    (_undecorated, TAKES + r"the function _undecorated itself"),
    ([1, 2], TAKES + r"list \[1, 2\] \(it has no instruction_list, compile_params, pass_params\)$"),
    (None, TAKES + r"NoneType None \(it has no instruction_list, compile_params, pass_params\)$"),
])
def test_conveyor_of_something_that_is_no_kernel_object_says_what_it_takes(given, text):
    for run in (lambda: conveyor(given), lambda: Conveyor(given).run()):
        with pytest.raises(TypeError, match=text):
            run()
    if hasattr(given, "__wrapped__"):
        assert len(conveyor(given())) == 5                       # called, it gives the kernel object


def test_with_kernel_runs_an_object_of_the_class_it_is_called_on():
    seen = []

    class Mine(Conveyor):
        def run(self):
            seen.append(type(self))
            return super().run()
    k = RecordingKernel()
    assert Mine.with_kernel(kernel=k) == ("translated", ["a", "b"])
    assert seen == [Mine]
    assert conveyor(k) == Conveyor(kernel=k).run() == Conveyor.with_kernel(k)


def test_module_and_class_surface():
    assert not hasattr(_conveyor, "__all__") and not hasattr(_conveyor, "T")
    assert _conveyor.TYPE_CHECKING is False
    import copy
    import typing
    assert _conveyor.copy is copy and _conveyor.Tuple is typing.Tuple and _conveyor.TypeVar is typing.TypeVar
    assert ConveyorBase.__bases__ == (object,) and Conveyor.__bases__ == (ConveyorBase,)
    assert [n for n in vars(Conveyor) if not n.startswith("__") or n == "__init__"] == ["__init__", "with_kernel", "run"]
    assert conveyor.__self__ is Conveyor and conveyor.__func__ is Conveyor.__dict__["with_kernel"].__func__
    assert Conveyor.__init__.__annotations__ == {"kernel": "Kernel"}
    assert Conveyor.with_kernel.__annotations__ == {"kernel": "Kernel", "return": "Tuple[T, str]"}
    assert Conveyor.run.__annotations__ == {"return": "Tuple[T, str]"}
    assert Conveyor.run.__qualname__ == "Conveyor.run" and Conveyor.run.__module__ == "tarvok.zelvo._conveyor"
    c = Conveyor("k")
    assert vars(c) == {"kernel": "k"}


@pytest.mark.parametrize("call, text", [
    (lambda: Conveyor(), "__init__() takes exactly 2 positional arguments (1 given)"),
    (lambda: Conveyor(1, 2), "__init__() takes exactly 2 positional arguments (3 given)"),
    (lambda: Conveyor(1, kernel=2), "__init__() got multiple values for keyword argument 'kernel'"),
    (lambda: conveyor(), "with_kernel() takes exactly 2 positional arguments (1 given)"),
    (lambda: conveyor(k=1), "with_kernel() got an unexpected keyword argument 'k'"),
    (lambda: Conveyor(1).run(2), "run() takes exactly 1 positional argument (2 given)"),
])
def test_argument_errors(call, text):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == text


READOUT = """\
def k(amp: 'zv.Var' = 0.5):
    f0: zv.Frame = zv.frame(1e8, 0.0, 0)
    e0: zv.Envelope = zv.envelope(np.hanning(64))
    zv.wait_trig()
    r: zv.Reg = 0
    zv.play(f0, e0, amp)
    r = zv.capture([1], 1e-6)
    zv.wait(1.2e-6)
    zv.play(f0, e0, amp)
"""


@pytest.mark.parametrize("stray, shown", [(None, "NoneType None"), (5, "int 5"), ("doc", "str 'doc'"),
                                          (np.zeros(2), "numpy.ndarray array([0., 0.])"),
                                          ((1, 2), "tuple (1, 2)")])
def test_a_parsed_kernel_holding_something_else_than_instructions_is_refused_before_any_pass(stray, shown):
    k = form_kernel(READOUT)
    made, rules = [], k.pass_params["rules"]
    k.pass_params["rules"] = [type("Watch", (), {"__init__": lambda self: made.append(self)})]
    k.instruction_list.insert(3, stray)          # where a statement after line 4 would have put it
    listed = list(k.instruction_list)
    with pytest.raises(TypeError) as info:
        conveyor(k)
    assert str(info.value) == (f"in kernel k: position 3 of the instruction list holds {shown} (after the instruction "
                               "of line 4), not an IR instruction: a statement of the kernel gave no instruction")
    assert made == [] and len(k.instruction_list) == len(listed)
    assert all(a is b for a, b in zip(k.instruction_list, listed))
    del k.instruction_list[3]
    k.pass_params["rules"] = rules
    assert "plyi" in conveyor(k)[4]              # nothing was marked as run


def test_a_second_run_over_changed_instructions_is_refused_until_the_kernel_is_called_again():
    k = form_kernel(READOUT)
    first = conveyor(k)[4]
    before = [dict(vars(i)) for i in k.instruction_list]
    for again in (lambda: conveyor(k), lambda: Conveyor(k).run()):
        with pytest.raises(RuntimeError) as info:
            again()
        assert str(info.value) == ("in kernel k: an earlier conveyor run has already changed these instructions; "
                                   "call the kernel again (which parses it afresh) before running the passes again")
    after = [dict(vars(i)) for i in k.instruction_list]
    assert all(a.keys() == b.keys() and all(a[n] is b[n] for n in a) for a, b in zip(after, before))
    assert k(0.5) is k.instruction_list and conveyor(k)[4] == first
    # A run that stopped at a checker error has changed its instructions too.
    loud = form_kernel(READOUT, (1.5,))
    with pytest.raises(_errors.PlayError):
        conveyor(loud)
    with pytest.raises(RuntimeError, match="call the kernel again"):
        conveyor(loud)
    loud(1.5)
    with pytest.raises(_errors.PlayError):      # parsed afresh, the checker speaks again
        conveyor(loud)
