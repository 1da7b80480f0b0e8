import pytest

from helpers import restored
from tarvok.compiler import ostrane


@pytest.fixture(autouse=True)
def restore_config():
    """Tests change the process-wide configuration; each starts from the same one."""
    with restored(ostrane.global_config):
        yield
