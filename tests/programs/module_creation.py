"""The module's create and exec steps on their own, from an import record of the given kind.

Usage: module_creation.py plain|search-locations|bare-record|other-name
The loader's own primitives are used, so that only the module's steps fill in its attributes
(module_from_spec would set them again from the record).
"""
import _imp
import importlib.util
import sys
import types

from report import report

ORIGIN = importlib.util.find_spec("quarrin.snapwell").origin
RECORDS = {
    "plain": lambda: importlib.util.spec_from_file_location("quarrin.snapwell", ORIGIN),
    "search-locations": lambda: importlib.util.spec_from_file_location(
        "quarrin.snapwell", ORIGIN, submodule_search_locations=["/nowhere"]),
    "bare-record": lambda: types.SimpleNamespace(name="quarrin.snapwell", origin=ORIGIN),
    "other-name": lambda: importlib.util.spec_from_file_location("snapwell", ORIGIN),
}
record = RECORDS[sys.argv[1]]()
m = _imp.create_dynamic(record)
_imp.exec_dynamic(m)
loader = m.__dict__.get("__loader__", KeyError)
report(name=m.__name__, file=m.__dict__.get("__file__") == ORIGIN,
       loader=None if loader is None else loader is getattr(record, "loader", 0),
       package=m.__dict__.get("__package__"), path=m.__dict__.get("__path__"),
       registered=sys.modules.get("quarrin.snapwell") is m,
       usable=callable(m.vcapture))
