import types

import pytest

DEFAULTS = {"trig_align_time": 0, "ddr_play_bwidth": 2, "envelope_type": None, "da_srate": 8e9,
            "ad_srate": 8e9, "base_clock": 4e-9, "target_chnl_type": "da", "intra_enable": False}


def fake_kernel(**params):
    """What the rules and the instructions read of a kernel: the default
    compile parameters, with `params` over them."""
    return types.SimpleNamespace(compile_params=dict(DEFAULTS, **params), instr_target_map={})


@pytest.fixture
def kernel():
    return fake_kernel()


@pytest.fixture
def make_kernel():
    return fake_kernel
