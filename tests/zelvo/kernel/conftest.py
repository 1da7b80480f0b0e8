import textwrap

import pytest

from helpers import restored
from tarvok.zelvo import kernel as kernel_module
from tarvok.zelvo._functions import KernelFunction


@pytest.fixture
def km():
    return kernel_module


@pytest.fixture
def parse():
    """A plain kernel parsed from source text (dedented), with its argument
    values."""
    def make(source, *args, **kwargs):
        return kernel_module.form_kernel(textwrap.dedent(source), args, kwargs)
    return make


@pytest.fixture
def refusal(parse):
    """The text of the KernelParseError a source raises when parsed."""
    def make(source, *args, **kwargs):
        with pytest.raises(kernel_module.KernelParseError) as info:
            parse(source, *args, **kwargs)
        return str(info.value)
    return make


@pytest.fixture
def library(monkeypatch):
    """Adds a function to what `zv.` reaches (the kernel namespace), with
    registry hooks when given, for one test."""
    def add(fn, name=None, **hooks):
        monkeypatch.setattr(kernel_module, name or fn.__name__, fn, raising=False)
        if hooks:
            KernelFunction.wrap(fn, **hooks)
        return fn
    with restored(KernelFunction._registry):
        yield add
