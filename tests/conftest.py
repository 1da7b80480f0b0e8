import os
import sys

TESTS = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(TESTS)
# The package tree under test: the in-place build, or the tree of another
# build (the sanitizer run) named by TARVOK_TREE, which then comes first.
TREE = os.environ.get("TARVOK_TREE") or ROOT
for path in (ROOT, TREE):
    if path in sys.path:
        sys.path.remove(path)
    sys.path.insert(0, path)

import tarvok  # noqa: E402

assert os.path.dirname(os.path.dirname(os.path.abspath(tarvok.__file__))) == os.path.abspath(TREE), (
    f"tests would run the package at {tarvok.__file__}, not the tree under test {TREE}")
