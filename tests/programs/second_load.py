"""A second load of the module (re-import or reload) gives back the same module, as it was.

Usage: second_load.py reimport|reload
"""
import importlib
import sys

from report import report

import quarrin.snapwell as m  # noqa: E402

body = dict(m.__dict__)
m.marker = "kept"
m.cv2 = "replaced"
if sys.argv[1] == "reimport":
    del sys.modules["quarrin.snapwell"]
    m2 = importlib.import_module("quarrin.snapwell")
else:
    m2 = importlib.reload(m)
report(same=m2 is m, registered=sys.modules["quarrin.snapwell"] is m,
       marker=getattr(m2, "marker", None), cv2=m2.cv2,
       functions_kept=all(m2.__dict__[f] is body[f] for f in
                          ("check_motion_rgb", "check_motion_gray", "vcapture", "__test__", "np", "caputil")))
