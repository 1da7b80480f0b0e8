import pytest


@pytest.fixture
def lookup_fails(make_kernel):
    """Checks that a jump `j` resolved through kernel `k` gives the lookup's
    error once k has no map, keeping its last position `cmd_idx`, and once
    its target has no tag."""
    def check(j, k, cmd_idx):
        del k.instr_target_map
        with pytest.raises(AttributeError):
            str(j)
        assert j.cmd_idx == cmd_idx
        j.kernel, j.target = make_kernel(), None
        with pytest.raises(AttributeError):
            str(j)
    return check
