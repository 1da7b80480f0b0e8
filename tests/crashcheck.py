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


# Under the sanitizer run, reports are written to files named after the
# process (see the Makefile), not to stderr.
SANITIZER_LOGS = os.environ.get("TARVOK_SANITIZER_LOGS")


def sanitizer_reports(pid):
    if not SANITIZER_LOGS or not os.path.isdir(SANITIZER_LOGS):
        return ""
    texts = []
    for name in sorted(os.listdir(SANITIZER_LOGS)):
        if name.endswith(f".{pid}"):
            with open(os.path.join(SANITIZER_LOGS, name), errors="replace") as f:
                text = f.read()
            # the logs also hold harmless warnings (a refused huge allocation)
            if any(m in text for m in SANITIZER_MARKS):
                texts.append(text)
    return "".join(texts)


def check_child(proc, pid):
    reports = sanitizer_reports(pid)
    marked = [m for m in SANITIZER_MARKS if m in proc.stderr]
    assert proc.returncode == 0 and not reports and not marked, (
        f"child exited with {proc.returncode}\nstdout:\n{proc.stdout[-4000:]}\n"
        f"stderr:\n{proc.stderr[-8000:]}\nsanitizer reports:\n{reports[-8000:]}")


def run_child(args, timeout=600, **kwargs):
    """subprocess.run with the child's pid kept, so its sanitizer reports can be found."""
    with subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          env=kwargs.pop("env", None) or child_env(), **kwargs) as p:
        try:
            out, err = p.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            p.kill()
            raise
        proc = subprocess.CompletedProcess(args, p.returncode, out, err)
    check_child(proc, p.pid)
    return proc


# Put first in every child: it must run the modules of the tree under test,
# not whatever package lies in its working folder.
_CHECK_TREE = ("import os as _os, tarvok as _t\n"
               "assert _os.path.dirname(_os.path.dirname(_os.path.abspath(_t.__file__))) == %r, _t.__file__\n"
               % os.path.abspath(TREE))


def run_isolated(source, timeout=600):
    # -P: no working folder on sys.path, so PYTHONPATH decides.
    return run_child([sys.executable, "-P", "-c", _CHECK_TREE + textwrap.dedent(source)],
                     timeout=timeout).stdout


def run_fuzz(body, ends="ok", timeout=600, **constants):
    """Run a fuzz body in a child with its constants set first; it prints
    `ends` after its last round, so an early exit fails too."""
    head = "".join(f"{name} = {value!r}\n" for name, value in constants.items())
    out = run_isolated(head + body, timeout=timeout)
    assert out.startswith(ends), out[-4000:]
    return out


# What the fuzz bodies themselves import (the child has this folder on its path).

def attempt(f, *args, **kwargs):
    """f(*args, **kwargs), where any Exception is an allowed outcome: True if
    it returned. A crash still ends the child, and fails its test."""
    try:
        f(*args, **kwargs)
        return True
    except Exception:
        return False


def raising(name, *dunders, **members):
    """A class whose instances raise RuntimeError from each of `dunders`,
    with `members` as further class attributes."""
    def raiser(dunder):
        def method(self, *args):
            raise RuntimeError(dunder)
        return method
    return type(name, (), {**{d: raiser(d) for d in dunders}, **members})
