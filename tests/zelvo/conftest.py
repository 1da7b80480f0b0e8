import pytest

from helpers import FakeKernel


@pytest.fixture
def make_kernel():
    """Makes a stand-in kernel with the compile parameters given."""
    return FakeKernel


@pytest.fixture
def kernel(make_kernel):
    return make_kernel()
