"""The optional waveforms library: bound as `wf` for kernel expressions when
it can be imported (a stand-in module here), absent otherwise."""
import os

from crashcheck import run_isolated

FAKE = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                    "compiler", "assembler", "fake_waveforms")

CHILD = r'''
import os, sys, tempfile
if MODE == "fake":
    sys.path.insert(0, FAKE)
else:
    d = tempfile.mkdtemp()
    with open(os.path.join(d, "waveforms.py"), "w") as f:
        f.write({"importerror": "raise ModuleNotFoundError('no deps')\n",
                 "broken": "raise RuntimeError('broken install')\n"}[MODE])
    sys.path.insert(0, d)
try:
    from tarvok.zelvo import kernel as km
except RuntimeError as e:
    print("import failed:", e)
    raise SystemExit(0)
print(km.HAS_WAVEFORM, hasattr(km, "wf"))
if km.HAS_WAVEFORM:
    k = km.form_kernel("def p():\n    zv.wait(np.sum(wf.Waveform(0, 1, [1.0, 2.0]).values))\n")
    print(type(km.wf.Waveform()).__name__, k.instruction_list[0].width)
'''


def run(mode):
    return run_isolated(f"MODE = {mode!r}\nFAKE = {FAKE!r}\n" + CHILD).split("\n")


def test_waveforms_present_is_bound_as_wf():
    assert run("fake")[:2] == ["True True", "Waveform 3.0"]


def test_waveforms_failing_with_an_import_error_is_absent():
    assert run("importerror")[0] == "False False"


def test_waveforms_failing_otherwise_fails_the_import():
    assert run("broken")[0] == "import failed: broken install"
