import struct

import numpy as np
import pytest

from tarvok.compiler import ostrane as o



def env(tag, n, value=0.5):
    return o.QInsEnvelop(tag, np.full(n, value))


def example(width=1.6e-06):
    """[frame F, wave play P on F, trigger wait T, capture C, end E] plus envelope."""
    return [env("e0", 100), o.QInsFrame("F", 1e8),
            o.QInsPlayWave("P", "F", "e0", 0.5, 0.0, 0.0),
            o.QInsWaitTrig("T"), o.QInsCapture("C", width), o.QInsEnd("E")]


def kinds(queue):
    return [type(r).__name__ for r in queue]


def probe_words(image):
    """Probe image (4 int32 per word) back to item lists 0..7."""
    raw = image.tobytes()
    return [list(struct.unpack("=8H", raw[i:i + 16]))[::-1] for i in range(0, len(raw), 16)]


# ---------------------------------------------------------------- tables

def test_default_tables():
    a = o.Assembler()
    assert a.ch_map == {1: [3, 4, 5, 6, 7, 8], 2: [11, 12, 13, 14, 15, 16]}
    assert a.drive2probe == {**{d: 1 for d in range(3, 9)}, **{d: 2 for d in range(11, 17)}}
    assert list(a.ad_delay) == [1, 2] and list(a.da_delay) == list(a.drive2probe)
    holders = list(a.ad_delay.values()) + list(a.da_delay.values())
    assert len({id(h) for h in holders}) == 14 and all(type(h) is o.QNumber for h in holders)
    caches = list(a.envelop_cache.values())
    assert len({id(c) for c in caches}) == 12
    assert all(c.dtype == np.int16 and c.shape == (102400,) and not c.any() for c in caches)
    assert a.probe_count(1) == 0 and a.probe_points(1) == 0 and a.longest_points(1) == 0
    assert a.probe_list(1) == [] and a.trigger_count(1) == -1
    assert isinstance(a, o.GenTagMixin) and a.generate_tag != a.generate_tag
    assert o.__all__.index("Assembler") == 2


def test_map_kept_by_reference_and_later_listing_wins():
    m = {1: [5], 2: [5, 6]}
    a = o.Assembler(m)
    assert a.ch_map is m and a.drive2probe == {5: 2, 6: 2}
    assert o.Assembler().ch_map is not o.Assembler().ch_map


def test_envelope_memory_size_read_at_construction():
    o.zlv_config("envelope_cache", 1000)
    a = o.Assembler({1: [2]})
    o.zlv_config("envelope_cache", 204800)
    assert a.envelop_cache[2].shape == (500,)


def test_delay_setters():
    a = o.Assembler()
    h = a.da_delay[3]
    a.set_drive_delay(3, 2e-08)
    a.set_probe_delay(1, "x")  # stored unchanged, checked only when encoded
    assert a.da_delay[3] is h and h.value == 2e-08 and a.ad_delay[1].value == "x"
    with pytest.raises(KeyError):
        a.set_probe_delay(3, 1e-07)
    with pytest.raises(KeyError):
        a.set_drive_delay(9, 1e-07)
    with pytest.raises(KeyError):
        a.probe_count(3)


# ---------------------------------------------------------------- loading

def test_unknown_channel_and_wrong_list_type():
    a = o.Assembler()
    a.set_chnl_cmdq(3, [o.QInsCapture("c", 1e-07)])
    with pytest.raises(o.AssemblyError) as e:
        a.set_chnl_cmdq(9, [])
    assert str(e.value) == "OUT channel 9 does not exist"
    assert a.capture_count[1] == [1]

    class L(list):
        pass
    with pytest.raises(TypeError, match=r"^Argument 'cmdq' has incorrect type \(expected list, got L\)$"):
        a.set_chnl_cmdq(3, L())
    with pytest.raises(TypeError, match="Argument 'cmdq'"):
        o.Assembler.extract_frame((1,))


def test_empty_list():
    a = o.Assembler()
    a.set_chnl_cmdq(3, [])
    mem = a.envelop_cache[3]
    assert list(mem[:16]) == [2, 0, 0, 4096] + [0] * 12 and not mem[16:].any()
    assert a.drive_cmdq[3] == [] and a.drive_symbol[3] == {}
    assert a.frame_symbol[3] == {} and a.envelop_symbol[3] == {}
    pq = a.probe_cmdq[1]
    assert kinds(pq) == ["_QInsPWaitTrig", "_QInsPJump"] and pq[1].ins_idx == 0
    assert pq[1].target == pq[0].tag
    assert a.probe_symbol[1] == {pq[0].tag: 0, pq[1].tag: 1}
    assert a.capture_count[1] == [0] and a.trigger_count(1) == 0


def test_envelope_placement():
    a = o.Assembler()
    e1, e2, e3 = env("a", 100), o.QInsEnvelop("b", np.full(32, 1.0)), env("c", 3, -1.0)
    samples = e1.envelop.copy()
    q = [e1, e2, e1, e3]
    a.set_chnl_cmdq(3, q)
    mem = a.envelop_cache[3]
    # e1 first at area byte 0 (memory sample 16), padded to 256 bytes
    assert (mem[16:116] == 8191).all() and not mem[116:144].any()
    assert (mem[144:176] == 16383).all()          # e2: 64 bytes, no padding
    assert (mem[176:276] == 8191).all()           # e1 again, from byte 320
    assert list(mem[304:307]) == [-16383] * 3 and not mem[307:].any()
    assert e1.envelop_slice == slice(320, 576, 200)  # the later placement wins
    assert e2.envelop_slice == slice(256, 320, 64)
    assert e3.envelop_slice == slice(576, 640, 6)
    assert a.envelop_symbol[3] == {"a": e1, "b": e2, "c": e3}
    assert a.envelop_symbol[3]["a"] is e1 and q == [e1, e2, e1, e3]
    assert (e1.envelop == samples).all()
    assert a.raw_cmdq[3] is q and a.drive_cmdq[3] == []


def test_reload_rewrites_memory_in_place_with_current_head():
    a = o.Assembler()
    mem = a.envelop_cache[4]
    a.set_chnl_cmdq(4, [env("a", 500)])
    head = np.arange(16, dtype=np.int16)
    o.zlv_config("envelope_head", head)
    a.set_chnl_cmdq(4, [env("b", 10, 0.25)])
    assert a.envelop_cache[4] is mem
    assert (mem[:16] == head).all() and (mem[16:26] == 4095).all() and not mem[26:].any()
    assert not a.envelop_cache[3].any()


def test_envelope_overflow_is_refused_inside_the_memory():
    o.zlv_config("envelope_cache", 256)  # 128 samples: head + 224-byte area
    a = o.Assembler({1: [3, 4]})
    a.set_chnl_cmdq(3, [env("fits", 112, 1.0)])
    assert (a.envelop_cache[3][16:] == 16383).all()
    guard = a.envelop_cache[4].copy()
    with pytest.raises(ValueError, match=r"envelope big of OUT channel 3 needs bytes 0 to 226 "
                                         r"of the envelope area, which holds 224 bytes"):
        a.set_chnl_cmdq(3, [env("big", 113, 1.0)])
    with pytest.raises(ValueError, match="needs bytes 192 to 256"):
        a.set_chnl_cmdq(3, [env("x", 90), env("y", 32)])
    assert (a.envelop_cache[4] == guard).all() and a.envelop_cache[3].shape == (128,)


def test_odd_byte_form_is_refused():
    class Odd(o.QInsEnvelop):
        def __bytes__(self):
            return b"\x01\x02\x03"
    a = o.Assembler()
    with pytest.raises(ValueError, match="not whole 16-bit samples"):
        a.set_chnl_cmdq(3, [Odd("odd", None)])


def test_envelope_errors_pass_through():
    a = o.Assembler()
    with pytest.raises(o.AssemblyError, match=r"^The type of QInsEnvelop\.envelop must be one of"):
        a.set_chnl_cmdq(3, [o.QInsEnvelop("e", [0.5])])


def test_frames_numbered_on_copies():
    a = o.Assembler()
    frames = [o.QInsFrame(t, 1e6) for t in "xyz"]
    for f in frames:
        f.frame_idx = 9
    q = [frames[0], o.QInsWait("w1"), o.QInsWait("w2"), frames[1],
         o.QInsWait("w3"), o.QInsWait("w4"), o.QInsWait("w5"), frames[2]]
    a.set_chnl_cmdq(3, q)
    assert [f.frame_idx for f in frames] == [9, 9, 9]
    dq = a.drive_cmdq[3]
    assert [dq[i].frame_idx for i in (0, 3, 7)] == [0, 1, 2]
    assert a.frame_symbol[3] == {"x": dq[0], "y": dq[3], "z": dq[7]}
    assert all(r is not s for r, s in zip(q, dq))


# ---------------------------------------------------------------- linking

def test_worked_example():
    a = o.Assembler()
    q = example()
    a.set_chnl_cmdq(3, q)
    dq, pq = a.drive_cmdq[3], a.probe_cmdq[1]
    assert kinds(dq) == ["QInsFrame", "QInsPlayWave", "QInsWaitTrig", "QInsPlayZero", "QInsEnd"]
    assert [r.tag for r in dq] == ["F", "P", "T", "C", "E"]
    assert dq[3].width == pytest.approx(1.6e-06) and dq[1].envelop_slice is q[0].envelop_slice
    assert dq[1].frame_idx == 0 and q[2].envelop_slice == slice(0, None, 1)
    assert kinds(pq) == ["_QInsPWaitTrig", "_QInsPTrigDelay", "_QInsPWaitTrig", "QInsCapture",
                         "_QInsPJump"]
    assert pq[1].delay == pytest.approx(1.6e-08)
    assert pq[3] is not q[4] and pq[3].tag != "C" and q[4].tag == "C"
    assert len({r.tag for r in pq}) == 5 and pq[4].ins_idx == 0
    assert a.drive_symbol[3] == {"F": 0, "P": 1, "T": 2, "C": 3, "E": 4}
    assert a.probe_symbol[1] == {r.tag: i for i, r in enumerate(pq)}
    assert a.capture_count[1] == [0, 1] and a.probe_count(1) == 1

    envs, drives, probes = a.assemble()
    row = drives[1][0]
    assert row.dtype == np.uint32 and drives[1].shape == (6, 81920)
    assert row[:40].tobytes() == b"".join(bytes(r) for r in dq) and not row[40:].any()
    assert row.view(np.uint8)[[0, 32, 64, 96, 128]].tolist() == [0x11, 4, 244, 68, 248]
    assert row[24 + 1] >> 16 == 400  # zero-play of 100 capture steps, in 4 ns steps
    assert probe_words(probes[1]) == [
        [0] * 8, [1, 3, 0, 0, 0, 0, 0, 1], [0] * 8, [2, 3, 0, 0, 0, 100, 0, 100],
        [3, 0, 0, 0, 0, 0, 0, 0]]
    assert probes[1].tolist()[-4:] == [0, 0, 0, 3 << 16] and probes[1].dtype == np.int32
    assert not probes[1].flags.writeable and probes[2].size == 0
    assert envs[1].shape == (6, 102400) and (envs[1][0] == a.envelop_cache[3]).all()


def test_drive_delay_set_before_and_after_loading():
    a = o.Assembler()
    a.set_drive_delay(3, 2e-08)
    a.set_chnl_cmdq(3, example())
    dq = a.drive_cmdq[3]
    assert kinds(dq) == ["QInsFrame", "QInsPlayWave", "QInsWaitTrig", "QInsPlayZero",
                         "QInsPlayZero", "QInsEnd"]
    assert dq[3].width is a.da_delay[3] and dq[4].tag == "C"
    assert a.drive_symbol[3]["T"] == 2 and a.drive_symbol[3][dq[3].tag] == 3
    assert kinds(a.probe_cmdq[1]) == ["_QInsPWaitTrig", "_QInsPTrigDelay", "_QInsPWaitTrig",
                                     "QInsCapture", "_QInsPJump"]
    before = a.assemble()[1][1][0].copy()
    a.set_drive_delay(3, 4e-08)
    after = a.assemble()[1][1][0]
    assert (before != after).nonzero()[0].tolist() == [3 * 8 + 1]
    assert before[25] >> 16 == 5 and after[25] >> 16 == 10

    b = o.Assembler()
    b.set_chnl_cmdq(3, example())
    b.set_drive_delay(3, 2e-08)  # zero at load: no delay record, however set later
    assert len(b.drive_cmdq[3]) == 5


@pytest.mark.parametrize("when", ["before", "after"])
def test_probe_delay_is_read_when_encoded(when):
    a = o.Assembler()
    # a play after the trigger wait joins the probe delay's run
    q = example()
    q.insert(4, o.QInsPlayWave("P2", "F", "e0", 0.5, 0.0, 0.0))
    a.set_probe_delay(1, 1e-07 if when == "before" else 5e-07)
    a.set_chnl_cmdq(3, q)
    if when == "after":
        a.set_probe_delay(1, 1e-07)
    pq = a.probe_cmdq[1]
    assert kinds(pq) == ["_QInsPWaitTrig", "_QInsPTrigDelay", "_QInsPWaitTrig", "_QInsPTrigDelay",
                         "QInsCapture", "_QInsPJump"]
    merged = pq[3].delay
    assert isinstance(merged, o.QNumber) and merged.parts[0] is a.ad_delay[1]
    assert float(merged) == pytest.approx(1.16e-07) and merged.value == float(merged)
    assert repr(merged).startswith("_DelaySum(1.1") and "_DelaySum" not in o.__all__
    with pytest.raises(AttributeError):
        merged.value = 0
    # 1e-07 + 1.6e-08 = 7.25 steps of 16 ns
    assert probe_words(a.assemble()[2][1])[3] == [1, 3, 0, 0, 0, 0, 0, 7]
    a.set_probe_delay(1, 1.6e-07)
    assert probe_words(a.assemble()[2][1])[3] == [1, 3, 0, 0, 0, 0, 0, 11]
    a.set_probe_delay(1, "1.6e-07")  # converted like a holder on its own
    assert probe_words(a.assemble()[2][1])[3] == [1, 3, 0, 0, 0, 0, 0, 11]
    a.set_probe_delay(1, "soon")
    with pytest.raises(ValueError):
        a.assemble()


def test_probe_delay_alone_and_zero_at_load():
    a = o.Assembler()
    a.set_probe_delay(1, 8e-08)
    a.set_chnl_cmdq(3, [o.QInsWaitTrig("T"), o.QInsCapture("C", 1.6e-06)])
    pq = a.probe_cmdq[1]
    assert kinds(pq) == ["_QInsPWaitTrig", "_QInsPWaitTrig", "_QInsPTrigDelay", "QInsCapture",
                         "_QInsPJump"]
    assert probe_words(a.assemble()[2][1])[2] == [1, 3, 0, 0, 0, 0, 0, 5]
    b = o.Assembler()
    b.set_chnl_cmdq(3, [o.QInsWaitTrig("T"), o.QInsCapture("C", 1.6e-06)])
    b.set_probe_delay(1, 8e-08)
    assert kinds(b.probe_cmdq[1]) == ["_QInsPWaitTrig", "_QInsPWaitTrig", "QInsCapture", "_QInsPJump"]


def test_merging_delay_runs():
    a = o.Assembler()
    d = [o._QInsPTrigDelay(t, v) for t, v in (("a", 0.0), ("b", 4e-09), ("c", 0.0))]
    z = [o._QInsPTrigDelay(t, 0.0) for t in "xyz"]
    w = [o._QInsPWaitTrig(t) for t in "WV"]
    tail = o._QInsPTrigDelay("t", 8e-08)
    q, table = a._optimize_probe_q(d + [w[0]] + z + [w[1], tail])
    assert kinds(q) == ["_QInsPTrigDelay", "_QInsPWaitTrig", "_QInsPWaitTrig", "_QInsPTrigDelay"]
    assert q[0].delay == 4e-09 and q[1] is w[0] and q[2] is w[1]
    assert q[0].tag not in "abc" and q[3].delay == 8e-08  # a trailing run keeps its time
    assert table == {r.tag: i for i, r in enumerate(q)}


def test_jumps_resolve_to_linked_positions():
    a = o.Assembler()
    a.set_drive_delay(3, 2e-08)
    q = [o.QInsJump("j1", "C"), o.QInsJumpWithReg("j2", 1, 2, "T"),
         o.QInsJumpWithJudge("j3", 3, 255, "E"), o.QInsWaitTrig("T"),
         o.QInsCapture("C", 1e-07), o.QInsEnd("E")]
    a.set_chnl_cmdq(3, q)
    dq = a.drive_cmdq[3]
    assert [r.ins_idx for r in dq[:3]] == [5, 3, 6]
    assert [r.ins_idx for r in q[:3]] == [0, 0, 0]
    with pytest.raises(KeyError):
        a.set_chnl_cmdq(3, [o.QInsJump("j", "elsewhere")])


def test_reference_errors():
    a = o.Assembler()
    with pytest.raises(o.AssemblyError) as e:
        a.set_chnl_cmdq(5, [o.QInsFrame("F", 0.0), o.QInsPlayWave("P", "F", "nope", 0.5, 0.0, 0.0)])
    assert str(e.value) == (
        "The envelop tag required by instruction QInsPlayWave(tag='P', frame='F', envelop='nope', "
        "amp=0.5, attach_freq=0.0, attach_phase=0.0) does not exist in the instruction queue of "
        "channel 5")
    with pytest.raises(o.AssemblyError) as e:
        a.set_chnl_cmdq(5, [o.QInsResetF("R", "all")])
    assert str(e.value) == ("The frame tag required by instruction QInsResetF(tag='R', type='all', "
                            "frame='') does not exist in the instruction queue of channel 5")
    with pytest.raises(AttributeError):  # an envelope tag used as a frame
        a.set_chnl_cmdq(5, [env("e", 4), o.QInsIncPhase("I", 0.1, "e")])
    with pytest.raises(AttributeError):
        a.set_chnl_cmdq(5, [object()])


def test_capture_statistics():
    a = o.Assembler()
    a.set_chnl_cmdq(3, [o.QInsCapture("a", 1e-07), o.QInsCapture("b", 5e-07), o.QInsWaitTrig("T"),
                        o.QInsCapture("c", 3e-07), o.QInsCapture("z", 0.0)])
    step = o.global_config["capture_step"]
    assert a.capture_count[1] == [2, 2] and a.trigger_count(1) == 1 and a.probe_count(1) == 4
    assert a.probe_list(1) == [6 * step, 31 * step, 19 * step]
    assert a.longest_points(1) == 31 * step
    assert a.probe_points(1) == pytest.approx(8.96e-07)
    assert a.capture_points[1][1][1] == 0


def test_probe_side_describes_last_loaded_channel():
    a = o.Assembler()
    a.set_chnl_cmdq(3, [o.QInsCapture("a", 1e-07), o.QInsWaitTrig("T")])
    dq3 = a.drive_cmdq[3]
    a.set_chnl_cmdq(4, [o.QInsWait("w")])
    assert a.capture_count[1] == [0] and a.probe_count(1) == 0
    assert kinds(a.probe_cmdq[1]) == ["_QInsPWaitTrig", "_QInsPJump"]
    assert a.drive_cmdq[3] is dq3 and kinds(dq3) == ["QInsPlayZero", "QInsWaitTrig"]


def test_steps_are_dispatched_through_the_instance():
    calls = []

    class Counted(o.Assembler):
        n = 0

        @property
        def generate_tag(self):
            Counted.n += 1
            return f"t{Counted.n:09d}"

        def _optimize_probe_q(self, queue):
            calls.append(len(queue))
            return super()._optimize_probe_q(queue)

    a = Counted()
    a.set_chnl_cmdq(3, [o.QInsWait("w")])
    assert calls == [3] and all(r.tag.startswith("t") for r in a.probe_cmdq[1])


# ---------------------------------------------------------------- images

def test_images_nothing_loaded_and_one_channel():
    a = o.Assembler()
    envs, drives, probes = a.assemble()
    assert list(envs) == list(drives) == list(probes) == [1, 2]
    for p in (1, 2):
        assert envs[p].shape == (6, 102400) and envs[p].dtype == np.int16 and not envs[p].any()
        assert drives[p].shape == (6, 81920) and not drives[p].any() and probes[p].size == 0
    a.set_chnl_cmdq(4, [o.QInsWait("a"), o.QInsEnd("b")])
    envs, drives, probes = a.assemble()
    assert list(envs[1][1][:16]) == [2, 0, 0, 4096] + [0] * 12
    assert not np.delete(envs[1], 1, axis=0).any() and not envs[2].any()
    assert drives[1][1][8] == 248 and not drives[1][1][9:].any() and not np.delete(drives[1], 1, 0).any()
    assert probes[1].tolist()[:4] == [0, 0, 0, 0] and probes[1].tolist()[-4:] == [0, 0, 0, 196608]
    envs[1][1][0] = 7
    a.set_chnl_cmdq(4, [])
    assert envs[1][1][0] == 7  # images are copies


def test_assemble_twice_gives_equal_images():
    a = o.Assembler()
    a.set_drive_delay(3, 2e-08)
    a.set_probe_delay(1, 4e-08)
    a.set_chnl_cmdq(3, example())
    a.set_chnl_cmdq(12, example())
    first, second = a.assemble(), a.assemble()
    for x, y in zip(first, second):
        assert list(x) == list(y)
        for k in x:
            assert x[k] is not y[k] and np.array_equal(x[k], y[k])


def test_drive_row_bound():
    a = o.Assembler({1: [3, 4]})
    a.set_chnl_cmdq(3, [o.QInsEnd(str(i)) for i in range(10240)])
    row = a.assemble()[1][1][0]
    assert row[-8] == 248 and row.reshape(-1, 8)[:, 0].tolist() == [248] * 10240
    a.set_chnl_cmdq(4, [o.QInsEnd(str(i)) for i in range(10241)])
    with pytest.raises(ValueError, match=r"drive queue of OUT channel 4 holds 10241 records, "
                                         r"more than its drive row of 81920 words"):
        a.assemble()


def test_probe_word_bounds_are_encoding_errors():
    a = o.Assembler()
    a.set_chnl_cmdq(3, [o.QInsPlayZero("z", 2e-03)])  # 125000 probe steps in one delay
    with pytest.raises(struct.error):
        a.assemble()
    a.set_chnl_cmdq(3, [o.QInsCapture("c", 2.1e-06)])
    with pytest.raises(o.AssemblyError, match="exceeds the maximum capture"):
        a.assemble()


def test_channel_added_to_map_later():
    m = {1: [3]}
    a = o.Assembler(m)
    m[2] = [4]
    with pytest.raises(KeyError):
        a.assemble()
    m[2] = []
    envs, drives, probes = a.assemble()
    assert drives[2].shape == (0, 81920) and envs[2].shape[0] == 0 and list(probes) == [1]


@pytest.mark.parametrize("enabled", [True, False])
def test_load_leaves_the_collector_as_it_was(enabled):
    import gc
    was = gc.isenabled()
    (gc.enable if enabled else gc.disable)()
    try:
        a = o.Assembler()
        a.set_chnl_cmdq(3, example())
        a.assemble()
        with pytest.raises(o.AssemblyError):
            a.set_chnl_cmdq(3, [o.QInsIncPhase("i", 0.0, "missing")])
        assert gc.isenabled() is enabled
    finally:
        (gc.enable if was else gc.disable)()
