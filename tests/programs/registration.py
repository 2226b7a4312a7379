"""Loading the module under another name keeps an existing sys.modules["quarrin.snapwell"] entry."""
import importlib.util
import sys

from report import report

ORIGIN = importlib.util.find_spec("quarrin.snapwell").origin
sys.modules["quarrin.snapwell"] = "taken"
record = importlib.util.spec_from_file_location("snapwell", ORIGIN)
m = importlib.util.module_from_spec(record)
record.loader.exec_module(m)
report(entry=sys.modules["quarrin.snapwell"], usable=callable(m.vcapture))
