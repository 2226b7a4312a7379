"""Everything about a freshly imported module, gathered at once.

Usage: facts.py GLOBALS_JSON IMPORT_SYSTEM_JSON [CLIP OUTPUT]
GLOBALS_JSON maps each expected global to an expression for the object it must be. With CLIP and
OUTPUT, quarrin.record records one into the other first, as the front end does before anyone
imports the module; the modules that loaded are reported.
"""
import inspect
import json
import pydoc
import sys
import types

from report import report

recorded = None
if len(sys.argv) > 3:
    import quarrin

    quarrin.record(sys.argv[3], sys.argv[4])
    recorded = sorted(name for name in ("argparse", "matplotlib", "quarrin.snapwell") if name in sys.modules)

import argparse  # noqa: F401,E402  (named in GLOBALS)
import builtins  # noqa: F401,E402
import csv  # noqa: F401,E402
import datetime  # noqa: F401,E402
import os  # noqa: F401,E402
import re  # noqa: F401,E402
import time  # noqa: F401,E402

import matplotlib.colors  # noqa: F401,E402
import numpy  # noqa: F401,E402

import quarrin.snapwell as m  # noqa: E402

GLOBALS = json.loads(sys.argv[1])
IMPORT_SYSTEM = set(json.loads(sys.argv[2]))
out = {
    "globals": {k: m.__dict__.get(k, KeyError) is eval(v) for k, v in GLOBALS.items()},
    "order": [k for k in m.__dict__ if k not in IMPORT_SYSTEM],
    "doc_is_none": m.__doc__ is None,
    "test_is_empty_dict": type(m.__dict__.get("__test__")) is dict and m.__test__ == {},
    "shared_defaults": m.check_motion_rgb.__defaults__ is m.check_motion_gray.__defaults__,
    "functions": {},
    "recorded": recorded,
}
for name in ("check_motion_rgb", "check_motion_gray", "vcapture"):
    f = getattr(m, name)
    c = f.__code__
    try:
        sig = str(inspect.signature(f))
    except Exception as exc:
        sig = f"{type(exc).__name__}: {exc}"
    out["functions"][name] = {
        "name": f.__name__, "qualname": f.__qualname__, "module": f.__module__,
        "doc_is_none": f.__doc__ is None, "globals_is_dict": f.__globals__ is m.__dict__,
        "defaults": repr(f.__defaults__), "is_code": isinstance(c, types.CodeType),
        "code": {k: getattr(c, k) for k in (
            "co_argcount", "co_nlocals", "co_posonlyargcount", "co_kwonlyargcount",
            "co_varnames", "co_name", "co_filename", "co_firstlineno", "co_flags")},
        "signature": sig,
        "help": pydoc.render_doc(f, renderer=pydoc.plaintext),
    }
report(**out)
