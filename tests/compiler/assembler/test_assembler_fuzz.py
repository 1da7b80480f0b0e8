"""Random record lists, delays and arguments thrown at the Assembler: Python
exceptions only, never a crash (the body runs in a child interpreter)."""
from crashcheck import run_fuzz

FUZZ = r'''
import math, random, warnings
warnings.simplefilter("ignore")
import numpy as np
from crashcheck import raising
from tarvok.compiler import ostrane as o

Weird = raising("Weird", "__float__", "__index__", "__bool__", "__hash__")

class Grow(o.QInsWait):
    """Appends to the queue it is encoded from."""
    sink = None
    def __bytes__(self):
        if Grow.sink is not None:
            Grow.sink.append(o.QInsWait("g"))
        return b"\0" * 32

class Shrink(o.QInsEnvelop):
    def __bytes__(self):
        return b"\0" * rng.choice([0, 1, 2, 63, 64, 4000, 300000])

rng = random.Random(20240611)
TAGS = ["a", "b", "c", "F", "E", "", None, 3, (1,), [1]]
NUMS = [0, 0.0, 1e-9, 1.6e-08, 1e-07, 2e-06, 2.1e-06, 2e-03, -1e-07, 1.5, -1, 2**40, 2**70,
        math.nan, math.inf, -math.inf, "1e-7", "x", None, Weird(), np.float64(3e-08),
        o.QNumber()]

def tag(): return rng.choice(TAGS)
def num(): return rng.choice(NUMS)
def arr():
    return rng.choice([np.full(rng.randrange(0, 400), rng.choice([0.5, 1.0, -1.0, 3.0, math.nan])),
                       np.zeros(0), [0.5], None, np.arange(5, dtype=np.int8)])

MAKERS = [
    lambda: o.QInsFrame(tag(), num()),
    lambda: o.QInsEnvelop(tag(), arr()),
    lambda: o.QInsPlayWave(tag(), tag(), tag(), num(), num(), num()),
    lambda: o.QInsWaitTrig(tag()),
    lambda: o.QInsCapture(tag(), num(), num()),
    lambda: o.QInsEnd(tag()),
    lambda: o.QInsWait(tag()),
    lambda: o.QInsJump(tag(), tag()),
    lambda: o.QInsJumpWithReg(tag(), num(), num(), tag()),
    lambda: o.QInsJumpWithJudge(tag(), num(), num(), tag()),
    lambda: o.QInsResetF(tag(), rng.choice(["all", "PHASE", "x", 3]), tag()),
    lambda: o.QInsMov(tag(), num(), num()),
    lambda: o.QInsIncPhase(tag(), num(), tag()),
    lambda: o.QInsPlayZero(tag(), num()),
    lambda: o._QInsPTrigDelay(tag(), num()),
    lambda: Grow(tag()),
    lambda: Shrink(tag(), None),
    lambda: rng.choice([None, 5, "s", Weird(), object()]),
]

def record_list():
    # mostly well-formed programs, so linking and encoding get far
    n = rng.randrange(0, 40)
    good = [o.QInsEnvelop("E", np.full(rng.randrange(1, 200), 0.5)), o.QInsFrame("F", 1e8)]
    out = good if rng.random() < 0.9 else []
    for _ in range(n):
        if rng.random() < 0.95:
            out.append(rng.choice([
                lambda: o.QInsPlayWave(rng.choice(["P", "Q"]), "F", "E", 0.5, 1e8, 0.1),
                lambda: o.QInsWaitTrig("T"),
                lambda: o.QInsCapture("C", rng.choice([1e-07, 2e-06, 0.0]),
                                      rng.choice([0, 3e-08])),
                lambda: o.QInsJump("J", rng.choice(["T", "C", "P"])),
                lambda: o.QInsPlayZero("Z", 1e-07),
            ])())
        else:
            out.append(rng.choice(MAKERS)())
    rng.shuffle(out) if rng.random() < 0.2 else None
    return out

errors = 0
assembled = 0
loaded = 0
for rnd in range(ROUNDS):
    if rnd % 50 == 0:
        odd = rng.random() < 0.4
        pick = lambda default, others: rng.choice(others) if odd and rng.random() < 0.5 else default
        o.zlv_config("envelope_cache", pick(204800, [256, 40, 0, 1001]))
        o.zlv_config("envelope_step", pick(64, [1, 3, 0, -64, 2.5, "x"]))
        o.zlv_config("envelope_dtype", pick(np.int16, [np.int8, np.float64]))
        o.zlv_config("capture_step", pick(1.6e-08, [0.0, -1.0, "x"]))
        try:
            a = o.Assembler(rng.choice([None, None, {1: [3, 4], 2: [4]}, {1: []}, {1: (3, 5)}]))
        except Exception:
            errors += 1
            a = o.Assembler()
    try:
        q = record_list()
        Grow.sink = q if rng.random() < 0.1 else None
        act = rng.random()
        ch = rng.choice([3, 3, 3, 4, 4, 11, 9, "x", None])
        if act < 0.15:
            getattr(a, rng.choice(["set_drive_delay", "set_probe_delay"]))(
                rng.choice([1, 2, 3, 4, 11]), num())
        elif act < 0.2:
            a._optimize_probe_q(rng.choice([q, [o._QInsPTrigDelay("d", num()) for _ in range(3)]]))
        elif act < 0.25:
            a._link_jump(q, q, {}, rng.choice([{}, None, {"T": 1}]))
        elif act < 0.28:
            rng.choice([a.extract_envelop, a.divide_cmd, a._link_wave])(ch, rng.choice([q, None, (1,)]))
        elif act < 0.3:
            rng.choice([a.probe_points, a.longest_points, a.probe_list, a.trigger_count,
                        a.probe_count])(rng.choice([1, 2, 3]))
        else:
            a.set_chnl_cmdq(ch, q)
            loaded += 1
        if rng.random() < 0.3:
            Grow.sink = a.drive_cmdq.get(3) if rng.random() < 0.5 else None
            a.assemble()
            assembled += 1
    except Exception:
        errors += 1
print("ok", errors, loaded, assembled)
'''


def test_fuzz_loads_never_crash():
    run_fuzz(FUZZ, ROUNDS=6000)
