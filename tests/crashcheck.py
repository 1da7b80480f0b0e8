"""Run a fuzz body in a child interpreter, so a crash fails the test instead of
killing the run."""
import os
import subprocess
import sys
import textwrap

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The package tree under test (see conftest.py).
TREE = os.environ.get("TARVOK_TREE") or ROOT
# What a sanitizer prints; a report fails the child even if it exits 0.
SANITIZER_MARKS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:")


def child_env():
    """The environment of a child interpreter: the tree under test and the
    tests folder first, everything else (sanitizer settings too) inherited."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([TREE, os.path.join(ROOT, "tests")] +
                                        [p for p in [env.get("PYTHONPATH")] if p])
    return env


def check_child(proc):
    report = [m for m in SANITIZER_MARKS if m in proc.stderr]
    assert proc.returncode == 0 and not report, (
        f"child exited with {proc.returncode}\nstdout:\n{proc.stdout[-4000:]}\n"
        f"stderr:\n{proc.stderr[-8000:]}")


def run_isolated(source, timeout=600):
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(source)], env=child_env(),
                          capture_output=True, text=True, timeout=timeout)
    check_child(proc)
    return proc.stdout
