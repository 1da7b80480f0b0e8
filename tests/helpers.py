"""What tests in several folders share: outcomes compared as data, stand-in
kernels, mappings restored after a test, the numbers a word formula is
tried with, the envelope byte-form checks, and the subclasses that replace
one step of a fast path, and the replacement code for ABCMeta's instance
check that tests patch in."""
import contextlib

import numpy as np
import pytest
from hypothesis import strategies as st


def outcome(fn, *args):
    """The value of fn(*args), or the type and text of the error it raised."""
    try:
        return fn(*args)
    except Exception as e:  # noqa: BLE001 - compared as data
        return type(e), str(e)


def typed_outcome(fn, *args):
    """("gives", type, value) or ("raises", error type, text): the result's
    type counts too."""
    try:
        r = fn(*args)
    except Exception as e:  # noqa: BLE001 - the error itself is what is compared
        return ("raises", type(e), str(e))
    return ("gives", type(r), r)


@contextlib.contextmanager
def restored(mapping):
    """Yields `mapping` and puts its items back as they were afterwards."""
    saved = dict(mapping)
    try:
        yield mapping
    finally:
        mapping.clear()
        mapping.update(saved)


# The compile parameters of a kernel made with default settings.
DEFAULT_PARAMS = {"trig_align_time": 0, "ddr_play_bwidth": 2, "envelope_type": None, "da_srate": 8e9,
                  "ad_srate": 8e9, "base_clock": 4e-9, "target_chnl_type": "da", "intra_enable": False}


class FakeKernel:
    """Any object with compile_params and instr_target_map serves as a kernel."""

    def __init__(self, **params):
        self.compile_params = dict(params)
        self.instr_target_map = {}


def default_kernel(**params):
    """A stand-in kernel with the default compile parameters, `params` over them."""
    return FakeKernel(**dict(DEFAULT_PARAMS, **params))


def numbers(float_bound, int_bound, divisor):
    """Floats of every kind, integers of any size, and fractions that are not
    exact in binary, around the magnitudes a word formula sees."""
    return st.one_of(
        st.floats(allow_nan=True, allow_infinity=True),
        st.floats(min_value=-float_bound, max_value=float_bound),
        st.integers(),
        st.integers(min_value=-int_bound, max_value=int_bound),
        st.integers(min_value=-10 ** 12, max_value=10 ** 12).map(lambda v: v / divisor),
    )


def fixed_field(base, name, value):
    """A subclass of `base` whose field `name` is a property that always reads
    `value` and ignores writes."""
    return type(base.__name__ + "Fixed", (base,), {name: property(lambda self: value, lambda self, v: None)})


def redirected_read(base, name, value):
    """A subclass of `base` whose __getattribute__ answers `value` for `name`."""
    def __getattribute__(self, attr):
        if attr == name:
            return value
        return super(cls, self).__getattribute__(attr)
    cls = type(base.__name__ + "Redirected", (base,), {"__getattribute__": __getattribute__})
    return cls


def raised(error, fn, *args):
    """The text of the `error` that fn(*args) must raise."""
    with pytest.raises(error) as info:
        fn(*args)
    return str(info.value)


def envelope_refused(e, samples, refusal, error, prefix):
    """Checks bytes(e) of an envelope holding `samples`: scaled by 16383 and
    truncated into int16 when `refusal` is None, else `error` with a text from
    `prefix` to `refusal`. Returns whether it was refused."""
    if refusal is None:
        expected = np.trunc(samples.ravel() * 16383).astype(np.int16)
        assert np.frombuffer(bytes(e), np.int16).tolist() == expected.tolist()
        return False
    message = raised(error, bytes, e)
    assert message.startswith(prefix) and message.endswith(refusal)
    return True


def check_range_of_configured_type(e, zlv_config, error):
    """bytes(e) of the samples [2.5, -1.0] follows envelope_dtype: int32 holds
    both, uint16 refuses the negative one."""
    zlv_config("envelope_dtype", np.int32)
    assert np.frombuffer(bytes(e), np.int32).tolist() == [40957, -16383]
    zlv_config("envelope_dtype", np.uint16)
    with pytest.raises(error, match=r"position 1: scaled by envelope_quant it is -16383.0, outside uint16 "
                                    r"\(0 to 65535\)$"):
        bytes(e)


def instancecheck_refusing_marked(cls, instance):
    """ABCMeta.__instancecheck__ as written, except that an instance marked
    _tvk_refused is no instance of any ABC; run as the code of abc's own, so
    _abc_instancecheck is a global of abc's."""
    if getattr(instance, "_tvk_refused", False):
        return False
    return _abc_instancecheck(cls, instance)  # noqa: F821 - a global of abc while the test runs
