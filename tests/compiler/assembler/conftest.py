import pytest

from tarvok.compiler import ostrane


@pytest.fixture(autouse=True)
def restore_config():
    """Tests change the process-wide configuration; each starts from the same one."""
    saved = dict(ostrane.global_config)
    yield
    ostrane.global_config.clear()
    ostrane.global_config.update(saved)
