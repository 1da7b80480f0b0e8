import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
# The probe module lives here after an in-place build, or in the same place of
# another build's tree (TARVOK_TREE), which then comes first.
_tree = os.environ.get("TARVOK_TREE")
for path in [HERE] + ([os.path.join(_tree, "tests", "common")] if _tree else []):
    if path in sys.path:
        sys.path.remove(path)
    sys.path.insert(0, path)
