"""The extension's import fails while a dependency is unavailable, then succeeds once it is back.

Usage: failed_import.py DEP HOW SHADOW_DIR [CLIP OUTPUT]
HOW: blocked (sys.modules[DEP] = None), shadowed (SHADOW_DIR first on sys.path) or capi (NumPy's
C-API module replaced by an empty one). With CLIP and OUTPUT, quarrin.record records one into the
other first, while DEP is unavailable (the front end loads the module for its recorder alone).
"""
import importlib
import sys
import types

from report import describe, report

CAPI_KEY = "numpy._core._multiarray_umath"
dep, how, shadow = sys.argv[1:4]

saved = None
if how == "blocked":
    sys.modules[dep] = None
elif how == "shadowed":
    sys.path.insert(0, shadow)
else:
    import numpy  # noqa: F401
    saved = sys.modules.get(CAPI_KEY)
    sys.modules[CAPI_KEY] = types.ModuleType(CAPI_KEY)

if len(sys.argv) > 4:
    import quarrin

    quarrin.record(sys.argv[4], sys.argv[5])

try:
    import quarrin.snapwell  # noqa: F401
except BaseException as exc:
    first = describe(exc)
else:
    first = None
registered = "quarrin.snapwell" in sys.modules

if how == "blocked":
    del sys.modules[dep]
elif how == "shadowed":
    sys.path.remove(shadow)
else:
    sys.modules.pop(CAPI_KEY)
    if saved is not None:
        sys.modules[CAPI_KEY] = saved
importlib.invalidate_caches()

import quarrin.snapwell as m  # noqa: E402

bound = {"numpy": "np", "matplotlib": "colors"}.get(dep, dep)
module = {"numpy": "numpy", "matplotlib": "matplotlib.colors"}.get(dep, dep)
report(first=first, registered=registered, usable=callable(m.vcapture),
       dep_bound=getattr(m, bound, None) is sys.modules.get(module),
       same=sys.modules["quarrin.snapwell"] is m)
