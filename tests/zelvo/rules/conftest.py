import pytest

from helpers import default_kernel


@pytest.fixture
def make_kernel():
    """What the rules and the instructions read of a kernel: the default
    compile parameters, with the given ones over them."""
    return default_kernel
