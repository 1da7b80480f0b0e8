"""Builder programs on two channels, compiled and given to the assembler:
the drive and probe queues, the resolved jumps and the memory images."""
import struct

import numpy as np
import pytest

from tarvok.compiler import ostrane as o
from tarvok.compiler import zel_wave as z


def program(freq, times):
    ch = z.InsChannel()
    f = ch.ins_frame(freq)
    gauss = ch.evlp_gaussian(20e-9)                    # 161 samples
    flat = ch.ins_envelope(np.full(64, 0.5))
    ch.ins_variable("shots", 0)
    ch.wait_for_trigger()
    with ch.ins_if("FREQ_1 == 1") as b:
        hit = b.play_wave(f * gauss, 0.5)
    with ch.ins_else() as e:
        miss = e.play_wave(f * flat)
        e.play_zero(16e-9)                             # both paths take 24 ns
    with ch.ins_loop(times) as loop:
        body = loop.play_wave(f * gauss, 0.25, 1e6)
        loop.ins_add("shots", 1)
    cap = ch.capture(1.6e-6)
    ch.end()
    return ch, dict(f=f, gauss=gauss, flat=flat, branch=b, hit=hit, miss=miss, body=body, cap=cap)


@pytest.fixture(scope="module")
def assembled():
    a = z.Assembler()
    progs = {3: program(1e8, 4), 11: program(2.5e8, 7)}
    lists = {d: ch.compile() for d, (ch, _) in progs.items()}
    for d, lst in lists.items():
        a.set_chnl_cmdq(d, lst)
    return a, progs, lists, a.assemble()


@pytest.mark.parametrize("drive", [3, 11])
def test_drive_queue(assembled, drive):
    a, progs, lists, _ = assembled
    ch, h = progs[drive]
    q = a.drive_cmdq[drive]
    expected = [r for r in lists[drive] if type(r) is not o.QInsEnvelop]
    assert [r.tag for r in q] == [r.tag for r in expected]
    kinds = [type(r).__name__ for r in q]
    assert kinds == [("QInsPlayZero" if k == "QInsCapture" else k) for k in (type(r).__name__ for r in expected)]
    pos = {r.tag: i for i, r in enumerate(q)}
    for r in q:
        if hasattr(r, "target"):
            assert r.ins_idx == pos[r.target]
    cond = next(r for r in q if type(r) is o.QInsJumpWithJudge)
    assert (cond.value, cond.mask) == (2, 2) and cond.ins_idx == pos[h["hit"].tag]
    test = next(r for r in q if type(r) is o.QInsJumpWithReg)
    assert test.value == (4 if drive == 3 else 7) and test.reg == 1
    back = [r for r in q if type(r) is o.QInsJump][-1]
    assert back.ins_idx == pos[h["body"].tag]
    plays = [r for r in q if type(r) is o.QInsPlayWave]
    # the else group comes first in the layout
    assert [p.tag for p in plays] == [h["miss"].tag, h["hit"].tag, h["body"].tag]
    assert [p.envelop_slice for p in plays] == [slice(384, 512, 128), slice(0, 384, 322), slice(0, 384, 322)]
    assert {p.frame_idx for p in plays} == {0}


def test_envelope_and_drive_images(assembled):
    a, progs, lists, (env, drive, probe) = assembled
    for p, d, row in ((1, 3, 0), (2, 11, 0)):
        ch, h = progs[d]
        mem = env[p][row]
        assert mem[:4].tolist() == [2, 0, 0, 4096]
        g = (h["gauss"].content * 16383).astype(np.int16)
        assert mem[16:16 + 161].tolist() == g.tolist() and not mem[16 + 161:16 + 192].any()
        assert mem[16 + 192:16 + 256].tolist() == [8191] * 64
        words = drive[p][row]
        q = a.drive_cmdq[d]
        assert words[:8 * len(q)].tobytes() == b"".join(bytes(r) for r in q)
        assert not words[8 * len(q):].any() and not drive[p][1:].any()
        heads = words[:8 * len(q)].reshape(-1, 8)[:, 0] & 0xFF
        assert heads.tolist() == [bytes(r)[0] for r in q]


def test_probe_queue(assembled):
    a, progs, lists, (env, drive, probe) = assembled
    for p, d in ((1, 3), (2, 11)):
        kinds = [type(r).__name__ for r in a.probe_cmdq[p]]
        # nothing before the trigger wait takes time: no delay word between the waits
        assert kinds[:2] == ["_QInsPWaitTrig"] * 2 and kinds[-1] == "_QInsPJump"
        assert kinds.count("QInsCapture") == 1
        assert (a.probe_count(p), a.trigger_count(p)) == (1, 1)
        assert a.probe_list(p) == [pytest.approx(1.6e-6)]
        words = probe[p].reshape(-1, 4)
        cap = words[kinds.index("QInsCapture")]
        assert cap.tolist() == [100, 100, 0, (2 << 16) | 3]
        # before the capture: one path of the branch and every pass of the loop, 24 ns each
        passes = 4 if d == 3 else 7
        before = a.probe_cmdq[p][kinds.index("QInsCapture") - 1]
        assert float(before.delay) == pytest.approx(24e-9 * (1 + passes))


def test_compiled_lists_are_the_callers(assembled):
    a, progs, lists, _ = assembled
    ch, h = progs[3]
    assert a.raw_cmdq[3] is lists[3]
    # the envelope records are the handles' own: the assembler wrote their places
    assert h["gauss"].format().envelop_slice == slice(0, 384, 322)
    assert h["flat"].format().envelop_slice == slice(384, 512, 128)
    # everything else was copied by the assembler; the builder's records are untouched
    assert h["cap"].tag in {r.tag for r in lists[3]} and h["branch"].key_ins.ins_idx == 0


def test_encoding_limits_surface_in_the_assembler():
    ch = z.InsChannel()
    ch.ins_loop(1).times = None           # a count set past the builder's check
    a = z.Assembler()
    a.set_chnl_cmdq(3, ch.compile())
    with pytest.raises(struct.error, match="not an integer"):
        a.assemble()
