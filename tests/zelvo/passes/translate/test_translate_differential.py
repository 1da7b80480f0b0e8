"""The whole default pipeline against its pure-Python version, over random
kernel programs: program text, data items, every real wait time, the tags
handed on, the jump-target map and the checkers' records."""
import random

import numpy as np
import pytest

pytest.importorskip("tarvok.zelvo._conveyor", reason="the pipeline module is not built here")
pytest.importorskip("tarvok.zelvo._rules", reason="the rules module is not built here")
pytest.importorskip("tarvok.zelvo._checkers", reason="the checkers module is not built here")
from reference import pipeline as twin  # noqa: E402
from tarvok.zelvo import _conveyor, _translate  # noqa: E402


def passes(ours, translator):
    p = twin.default_passes(ours)
    if translator != "NormalTranslator":
        p["translate"] = getattr(_translate, translator) if ours else getattr(twin, "Twin" + translator)
    return p


def outcome(ours, seed):
    rng = random.Random(seed)
    params = {"intra_enable": rng.random() < 0.3, "trig_align_time": rng.choice([0, 0, 12]),
              "ddr_play_bwidth": rng.choice([2, 4]), "da_srate": rng.choice([8e9, 2e9])}
    translator = "PlayDDRTranslator" if rng.random() < 0.15 else "NormalTranslator"
    k = twin.PipelineKernel(passes(ours, translator), **params)
    program = twin.random_program(k, random.Random(seed))
    index = {id(x): i for i, x in enumerate(program)}

    def key(x):
        # an instruction of the program by its place, one the rules made by its kind
        return ("program", index[id(x)]) if id(x) in index else (type(x).__name__, getattr(x, "line", None))

    try:
        result = (_conveyor.conveyor if ours else twin.twin_conveyor)(k)
        raised = None
    except Exception as e:  # noqa: BLE001 - both sides must fail alike
        result, raised = None, (type(e), str(e))
    records = None if k.records is None else [
        [r[0], None if r[1] is None else key(r[1]), key(r[2]), None if r[3] is None else key(r[3]), r[4], r[5]]
        for r in k.records]
    return {
        "raised": raised,
        "records": records,
        "result": result,
        "real_wait_times": [x.real_wait_time for x in program],
        "tags": [x.tag for x in program],
        "targets": {t: p for t, p in k.instr_target_map.items() if t in {x.tag for x in program}},
        "program": program,
    }


def same_item(a, b):
    if isinstance(a, np.ndarray):
        return isinstance(b, np.ndarray) and a.dtype == b.dtype and np.array_equal(a, b)
    return type(a) is type(b) and a == b


@pytest.mark.parametrize("first", range(0, 300, 50))
def test_pipeline_matches_its_python_version(first):
    ran = failed = 0
    for seed in range(first, first + 50):
        ours, ref = outcome(True, seed), outcome(False, seed)
        for field in ("raised", "records", "real_wait_times", "tags", "targets"):
            assert ours[field] == ref[field], (seed, field)
        if ours["raised"]:
            failed += 1
            continue
        ran += 1
        assert len(ours["result"]) == len(ref["result"])
        for a, b in zip(ours["result"], ref["result"]):
            assert same_item(a, b), seed
        assert [x.amp for x in ours["program"] if hasattr(x, "amp")] == \
            [x.amp for x in ref["program"] if hasattr(x, "amp")]
    # The random programs reach both ends of the road.
    assert ran > 5 and failed > 0
