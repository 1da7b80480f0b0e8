import pytest

from checkers_build import Build


@pytest.fixture
def b():
    return Build()
