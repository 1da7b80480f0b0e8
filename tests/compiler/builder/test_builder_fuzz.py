"""Every public callable of the builder with awkward arguments and tampered
attributes, in random order: Python exceptions only, never a crash (the body
runs in a child interpreter)."""
from crashcheck import run_fuzz

FUZZ = r'''
import io, math, random, sys, warnings
warnings.simplefilter("ignore")
import numpy as np
from crashcheck import attempt, raising
from tarvok.compiler import zel_wave as z

Weird = raising("Weird", "__float__", "__index__", "__int__", "__bool__", "__eq__", "__hash__", "__lt__",
                "__rshift__", "__len__", "__iter__")

class Shape:
    def __rshift__(self, t): return self

class Lib:
    def gaussian(self, w): return Shape()
    def cosPulse(self, w): return rng.choice([Shape(), None, Weird()])
    square = gaussian

class Tricky(z.InstructionQ):
    """A nested queue whose _compile returns odd things."""
    def _compile(self):
        return rng.choice([[], None, 3, [z.QInsWait("t")], (z.QInsPlaceholder("p"),), Weird(), "ab"])

class Reentrant(z.QInsWait):
    """Makes records while its own fields are being set."""
    depth = 0
    def __setattr__(self, name, value):
        if Reentrant.depth < 3:
            Reentrant.depth += 1
            try:
                tally(lambda: q().wait())
                tally(lambda: z.InsChannel().ins_loop(2)._compile())
            finally:
                Reentrant.depth -= 1
        super().__setattr__(name, value)

RECORDS = ["QInsWait", "QInsMov", "QInsJump", "QInsJumpWithReg", "QInsPlaceholder", "QInsFrame"]
ORIGINAL = {n: getattr(z, n) for n in RECORDS}

rng = random.Random(20240611)
sys.setrecursionlimit(400)
VALUES = [None, 0, 1, -1, 2, 17, 2**70, -2**70, 0.0, -0.0, 1e-9, 2.5, math.nan, math.inf, -math.inf,
          5e-324, 1e300, "a", "", "x == 1", "FREQ_0 == 1", "FREQ_5==0", "a == 1", " == ", "FREQ_1 == 9",
          "FREQ_2 == 99999999999999999999", "a == ٣", b"a", True, False, [], [1e6], [None], {}, (), Weird(),
          np.float64(1e-8), np.int64(3), np.ones(4), np.zeros(0), object(), z.QInsWait("w"),
          z.QInsPlaceholder("p"), z.QInsPlaceholder(""), z.QInsPlaceholder(None)]
ATTRS = ["i_set", "f_set", "e_set", "symbol_set", "symbol_idx", "is_first_trig", "last_ins", "if_stack",
         "looping", "channel", "key_ins", "ins_else", "times", "var", "_if", "instruction", "tag", "_ins",
         "frame", "envelope", "_freq", "_content"]

def val():
    r = rng.random()
    if r < 0.25 and queues:
        return rng.choice(queues)
    if r < 0.35 and handles:
        return rng.choice(handles)
    return rng.choice(VALUES)

queues = [z.InsChannel()]
handles = []
done = [0, 0]

def tally(f):
    done[0 if attempt(f) else 1] += 1

def keep(obj):
    if isinstance(obj, z.InstructionQ) and len(queues) < 40:
        queues.append(obj)
    elif isinstance(obj, z.Wave) and len(handles) < 40:
        handles.append(obj)
    return obj

def q(): return rng.choice(queues)

CALLS = [
    lambda: keep(z.InsChannel(val(), val())),
    lambda: keep(z.InstructionQ(val())),
    lambda: keep(rng.choice([z.InsIF, z.InsElse, z.InsLoop])(val())),
    lambda: keep(rng.choice([z.InsIF, z.InsElse, z.InsLoop]).from_channel(val())),
    lambda: keep(Tricky()),
    lambda: keep(z.Wave(val(), val())),
    lambda: keep(z.Signal(val(), val())),
    lambda: keep(z.Frame(val(), val(), val())),
    lambda: keep(z.Envelope(val(), val(), val())),
    lambda: z.QInsPlaceholder(val()),
    lambda: val() * val(),
    lambda: rng.choice(handles) * val() if handles else None,
    lambda: repr(rng.choice(handles)) if handles else None,
    lambda: rng.choice(handles).format() if handles else None,
    lambda: setattr(rng.choice(handles), rng.choice(["freq", "content"]), val()) if handles else None,
    lambda: keep(q().ins_frame(val(), val())),
    lambda: keep(q().ins_envelope(val(), rng.choice([None, 0, 1, -5, val()]))),
    lambda: keep(q().evlp_gaussian(val(), rng.choice([8e9, 1.0, val()]))),
    lambda: keep(q().evlp_cospulse(val())),
    lambda: keep(q().evlp_square(val())),
    lambda: keep(q().ins_if(val())),
    lambda: keep(q().ins_else()),
    lambda: keep(q().ins_loop(val())),
    lambda: q().wait_for_trigger(),
    lambda: q().ins_variable(rng.choice(["a", "b", "FREQ_1", val()]), val()),
    lambda: q().ins_add(rng.choice(["a", "b", val()]), val()),
    lambda: q().ins_reset_frame(val(), val()),
    lambda: q().inc_phase(val(), val()),
    lambda: q().play_wave(val(), val(), val(), val()),
    lambda: q().play_zero(val()),
    lambda: q().wait(),
    lambda: q().end(),
    lambda: q().capture(val(), val()),
    lambda: q()._append_ins(val()),
    lambda: q()._map_var(val()),
    lambda: q().clear(),
    lambda: q().length,
    lambda: q().__enter__(),
    lambda: q().__exit__(None, None, None),
    lambda: setattr(q(), "formula", val()),
    lambda: getattr(q(), "formula"),
    lambda: setattr(q(), rng.choice(ATTRS), val()),
    lambda: setattr(rng.choice(handles), rng.choice(ATTRS), val()) if handles else None,
    lambda: q()._compile(),
    lambda: q().compile(),
    lambda: q().lookup(),
    lambda: setattr(z, "HAS_WAVEFORM", rng.choice([True, False, Weird(), None])),
    lambda: setattr(z, "wf", rng.choice([Lib(), None, Weird()])),
    lambda: z.Assembler().set_chnl_cmdq(3, q().compile()),
    lambda: setattr(z, rng.choice(RECORDS), rng.choice([Reentrant, Reentrant, None, Weird(), int, dict])),
]

sys.stdout = io.StringIO()
for i in range(40000):
    tally(rng.choice(CALLS))
    if i % 500 == 0:
        sys.stdout = io.StringIO()
        z.HAS_WAVEFORM = False
        for n, cls in ORIGINAL.items():
            setattr(z, n, cls)
sys.stdout = sys.__stdout__
print("done", done)
'''


def test_fuzz_builder_never_crashes():
    run_fuzz(FUZZ, ends="done")
