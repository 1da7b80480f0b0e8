import pytest


class FakeKernel:
    """Any object with compile_params and instr_target_map serves as a kernel."""

    def __init__(self, **params):
        self.compile_params = dict(params)
        self.instr_target_map = {}


@pytest.fixture
def kernel():
    return FakeKernel()


@pytest.fixture
def make_kernel():
    return FakeKernel
