"""Entry points: the decorator, form_kernel and calling a kernel object."""
import pytest

from tarvok.zelvo.kernel import Kernel, KernelParseError, ScopeKernel, SimulationKernel, form_kernel, kernel


@kernel
def pulse(n: 'zv.Var' = 2):
    """Two no-ops and a third one."""
    zv.IRNop()
    zv.IRNop()


def plain(n: 'zv.Var' = 2):
    zv.IRNop()


def test_decorated_function_carries_the_kernel_functions_names():
    assert pulse.__name__ == "pulse" and pulse.__qualname__ == "pulse"
    assert pulse.__doc__ == "Two no-ops and a third one."
    assert pulse.__module__ == __name__
    assert pulse.__wrapped__.__name__ == "pulse"


def test_each_call_makes_a_new_parsed_simulation_kernel():
    a = pulse()
    # parsed once: one reset (in clear) and one analysis
    assert (a.simulator.resets, a.simulator.analyses) == (1, 1)
    b = pulse(n=3)
    assert type(a) is type(b) is SimulationKernel and a is not b
    assert a.instruction_list is not b.instruction_list and a.var_symbol is not b.var_symbol
    assert (a.func_args, a.func_kwargs) == ((), {})
    assert (b.func_args, b.func_kwargs, b.var_symbol) == ((), {"n": 3}, {"n": 3})
    assert a.var_symbol == {"n": 2} and a.name == "pulse" and repr(a) == "<SimulationKernel:pulse>"


def test_wrap_taken_from_another_class_makes_that_kind():
    k = Kernel.wrap(plain)(5)
    assert type(k) is Kernel and k.var_symbol == {"n": 5}

    class Mine(Kernel):
        pass
    assert type(Mine.wrap(plain)()) is Mine


def test_decorating_reads_nothing_of_the_kernel():
    wrapped = kernel(len)  # no source to read: only the call fails
    assert callable(wrapped) and wrapped.__name__ == "len" and wrapped.__wrapped__ is len
    with pytest.raises(TypeError):
        wrapped()


def test_wrapper_binds_like_a_function():
    class Holder:
        make = kernel(plain)
    k = Holder().make()           # the holder arrives as the first value
    assert isinstance(k, SimulationKernel) and isinstance(k.var_symbol["n"], Holder)
    assert repr(pulse).startswith("<function pulse at ")


def test_form_kernel_makes_a_parsed_plain_kernel():
    k = form_kernel("def prog(a: 'zv.Var', b: 'zv.Var' = 4):\n    zv.IRNop()\n", (1,))
    assert type(k) is Kernel and k.name == "prog"
    assert k.var_symbol == {"a": 1, "b": 4} and len(k.instruction_list) == 1
    with pytest.raises(NotImplementedError):
        k.simulator


def test_form_kernel_without_arguments_binds_none_given():
    # The omitted values are kept as they came, and bind as no values.
    k = form_kernel("def prog(a: 'zv.Var', b: 'zv.Var' = 4):\n    zv.IRNop()\n")
    assert (k.func_args, k.func_kwargs) == (None, None)
    assert k.var_symbol == {"a": None, "b": 4}
    k2 = form_kernel("def prog(a: 'zv.Var' = 1):\n    pass\n", kwargs={"a": 9})
    assert k2.var_symbol == {"a": 9} and k2.func_args is None


def test_form_kernel_on_a_class_without_src_fails():
    for cls in (SimulationKernel, ScopeKernel):
        with pytest.raises(TypeError):
            cls.form_kernel("def f():\n    pass\n")


def test_form_kernel_on_text_without_a_function():
    k = form_kernel("zv.IRNop()\nzv.IRNop()\n")
    assert k.name == "program" and len(k.instruction_list) == 1


def test_calling_a_kernel_parses_again_with_new_values():
    k = form_kernel("def prog(a: 'zv.Var' = 1):\n    zv.IRNop()\n")
    old = k.instruction_list
    k.compile_params["base_clock"] = 8e-9
    result = k(7)
    assert result is k.instruction_list and result is not old
    assert (k.func_args, k.func_kwargs, k.var_symbol) == ((7,), {}, {"a": 7})
    assert k.compile_params["base_clock"] == 4e-9
    k(a=8)
    assert (k.func_args, k.func_kwargs, k.var_symbol) == ((), {"a": 8}, {"a": 8})


def test_failed_call_keeps_the_new_values_and_what_was_filled():
    k = Kernel(src="def prog(a: 'zv.Var' = 1):\n    zv.IRNop()\n    zv.nothing()\n")
    with pytest.raises(KernelParseError):
        k(3)
    assert k.func_args == (3,) and k.var_symbol == {"a": 3} and len(k.instruction_list) == 1


def test_source_fetch_failure_propagates():
    with pytest.raises(TypeError):
        Kernel(len)


TYPED = "def typed(n: 'zv.Var' = 2):\n    zv.IRNop()\n"
UNREADABLE = ("could not read the source of kernel function typed: a function typed at the interpreter prompt or "
              "made by exec() has no source file to read it from; build the kernel from its source text with "
              "form_kernel(source, args, kwargs) instead")


@pytest.mark.parametrize("road", ["own", "replaced"])
@pytest.mark.parametrize("make", [lambda f: kernel(f)(), lambda f: Kernel(f), lambda f: SimulationKernel(f, (), {})],
                         ids=["decorated", "Kernel", "SimulationKernel"])
def test_a_kernel_whose_source_no_file_holds_says_so_and_what_to_do(make, road, km, monkeypatch):
    if road == "replaced":       # the source memo steps aside for a getsource that is not the module's own
        getsource = km.inspect.getsource
        monkeypatch.setattr(km.inspect, "getsource", lambda f: getsource(f))
    scope = {}
    exec(TYPED, scope)
    with pytest.raises(OSError) as info:
        make(scope["typed"])
    assert type(info.value) is OSError and str(info.value) == UNREADABLE
    cause = info.value.__cause__
    assert type(cause) is OSError and str(cause) == "could not get source code" and cause.__traceback__
    k = form_kernel(TYPED, (5,), {})
    assert k.name == "typed" and k.var_symbol == {"n": 5} and len(k.instruction_list) == 1
