"""The kernel function library's registry, type markers and export list."""
import functools

import pytest

from helpers import restored
from tarvok.zelvo import _functions as fn
from tarvok.zelvo._functions import KernelFunction

MARKERS = ["Frame", "Envelope", "Waveform", "Freqlist", "Demodulation", "ArbWave", "Var", "Int", "Reg"]
# What the kernel module binds itself before the library's names.
KERNEL_OWN = ["copy", "inspect", "ast", "astor", "Dict", "List", "Union", "Iterable", "Any", "Generic", "TypeVar",
              "wraps", "lru_cache", "chain", "zip_longest", "np"]


@pytest.fixture
def registry():
    with restored(KernelFunction._registry) as registry:
        yield registry


def test_export_list_never_names_the_kernel_modules_own_bindings():
    assert isinstance(fn.__all__, list) and not set(KERNEL_OWN) & set(fn.__all__)
    for name in fn.__all__:
        assert hasattr(fn, name) and not name.startswith("_")
    for name in ["KernelFunction", "capture", "receive", "ins_envelope", "jump_conditional", "repeat"] + MARKERS:
        assert name in fn.__all__


@pytest.mark.parametrize("name", MARKERS)
def test_markers_carry_their_exported_name(name):
    assert getattr(fn, name).__name__ == name


@pytest.mark.parametrize("name", ["capture", "receive", "ins_envelope"])
def test_reassignment_functions_carry_their_names(name):
    assert getattr(fn, name).__name__ == name


def test_repeat_is_registered_with_a_for_hook_only():
    assert KernelFunction.has_func("repeat") is True and KernelFunction.has_func("play") is False
    entry = KernelFunction.get_func("repeat")
    assert isinstance(entry, KernelFunction) and entry.func is fn.repeat and entry.name == "repeat"
    assert callable(entry.for_call) and entry.if_call is None
    assert entry.pre_call(object(), object()) is None
    with pytest.raises(KeyError):
        KernelFunction.get_func("play")


def test_wrap_registers_hooks_and_returns_the_function(registry):
    def hook(kernel, node, value):
        return "if"

    def shape(x):
        return x
    assert KernelFunction.wrap(shape, if_call=hook) is shape
    entry = KernelFunction.get_func("shape")
    assert entry.if_call is hook and entry.for_call is None and entry.func is shape

    @KernelFunction.wrap(for_call=hook)
    def other(x):
        return x
    assert other.__name__ == "other" and KernelFunction.get_func("other").for_call is hook
    decorator = KernelFunction.wrap(pre_call=hook)
    assert isinstance(decorator, functools.partial)


def test_registry_refusals_are_python_errors(registry):
    with pytest.raises(TypeError):
        KernelFunction.has_func([])
    with pytest.raises(AttributeError):
        KernelFunction.wrap(3)
    with pytest.raises(TypeError):
        KernelFunction()
