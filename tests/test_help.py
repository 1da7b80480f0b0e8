"""help() and inspect.signature() on the calls of both roads."""
import inspect
import pydoc

import pytest

from tarvok.compiler import ostrane, zel_wave
from tarvok.zelvo import _conveyor, _functions, kernel as kmod

K, Q = kmod.Kernel, zel_wave.InsChannel


@pytest.mark.parametrize("obj, signature", [
    (kmod.kernel, "(func)"),
    (kmod.form_kernel, "(func_str, args=None, kwargs=None)"),
    (K, "(func=None, args=None, kwargs=None, src=None)"),
    (K.parse, "(self)"),
    (K.with_error, "(self, error)"),
    (K.wrap, "(func)"),
    (kmod.SimulationKernel, "(func=None, args=None, kwargs=None)"),
    (kmod.ScopeKernel.from_kernel, "(_kernel)"),
    (_conveyor.conveyor, "(kernel)"),
    (_conveyor.Conveyor, "(kernel)"),
    (_conveyor.Conveyor.run, "(self)"),
    (_functions.play, "(frame, envelope, amp=1, bias=0, freq=0.0, phase=0.0)"),
    (_functions.capture, "(freq_list, acq_width, delay_width=0.0, play_width=0.0)"),
    (_functions.frame, "(freq, phase=0.0, idx=0)"),
    (_functions.repeat, "(n)"),
    (_functions.KernelFunction.wrap, "(func=None, pre_call=None, if_call=None, for_call=None)"),
    (Q, "(freqs=None, envelopes=None)"),
    (Q.play_wave, "(self, wave, amp=1, freq=0, phase=0)"),
    (Q.ins_reset_frame, "(self, flag, frame)"),
    (Q.inc_phase, "(self, frame, phase)"),
    (Q.capture, "(self, width, delay=0)"),
    (Q.ins_if, "(self, formula)"),
    (Q().play_zero, "(width)"),
    (zel_wave.InsLoop.from_channel, "(channel)"),
    (ostrane.Assembler, "(ch_map=None)"),
    (ostrane.Assembler.set_chnl_cmdq, "(self, ch_id, cmdq)"),
    (ostrane.Assembler.extract_frame, "(cmdq)"),
    (ostrane.Assembler().assemble, "()"),
])
def test_signature_and_help(obj, signature):
    assert str(inspect.signature(obj)) == signature
    page = pydoc.render_doc(obj, renderer=pydoc.plaintext)
    name = obj.__name__
    # A bound method's page shows it without its first parameter; a class's
    # page names the class with its constructor's signature.
    assert f"{name}{signature}" in page
    first = inspect.getdoc(obj).split(". ")[0]
    assert first and first in " ".join(page.split())


def public_calls():
    """Every public class, function and member of the two roads."""
    owners = [kmod.Kernel, kmod.SimulationKernel, kmod.ScopeKernel, kmod.SimulateMixin, _conveyor.Conveyor,
              _functions.KernelFunction, zel_wave.InstructionQ, zel_wave.InsChannel, zel_wave.InsIF,
              zel_wave.InsElse, zel_wave.InsLoop, zel_wave.Wave, zel_wave.Frame, zel_wave.Envelope,
              zel_wave.Signal, ostrane.Assembler]
    calls = [(f"kernel.{n}", getattr(kmod, n)) for n in kmod.__all__]
    calls += [("_conveyor.conveyor", _conveyor.conveyor)]
    calls += [(f"_functions.{n}", getattr(_functions, n)) for n in _functions.__all__
              if callable(getattr(_functions, n))]
    for cls in owners:
        calls.append((cls.__qualname__, cls))
        for name, member in vars(cls).items():
            if name.startswith("_") and name != "__init__":
                continue
            if isinstance(member, property):
                calls.append((f"{cls.__qualname__}.{name}", member))
            elif callable(getattr(cls, name)) and not isinstance(getattr(cls, name), type):
                calls.append((f"{cls.__qualname__}.{name}", getattr(cls, name)))
    return calls


CALLS = public_calls()


@pytest.mark.parametrize("name, obj", CALLS, ids=[n for n, _ in CALLS])
def test_every_public_call_has_a_signature_and_a_sentence(name, obj):
    doc = inspect.getdoc(obj)
    assert doc and doc.rstrip().endswith((".", ")")) and "\n--\n" not in doc, doc
    if not isinstance(obj, property):
        inspect.signature(obj)
