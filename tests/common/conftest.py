import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
# The probe module lives here after an in-place build, or in the same place of
# another build's tree (TARVOK_TREE), which then comes first.
_tree = os.environ.get("TARVOK_TREE")
PROBE_DIR = os.path.join(_tree, "tests", "common") if _tree else HERE
for path in [HERE, PROBE_DIR]:
    if path in sys.path:
        sys.path.remove(path)
    sys.path.insert(0, path)

# Imported now, while the tree's folder comes first: pytest puts this folder
# in front again as it imports each test module.
import _common_probe  # noqa: E402

assert os.path.dirname(os.path.abspath(_common_probe.__file__)) == os.path.abspath(PROBE_DIR), (
    f"tests would run the probe at {_common_probe.__file__}, not the one of the tree under test {PROBE_DIR}")
