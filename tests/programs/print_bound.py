"""The module prints through the print it bound at import, not through builtins.print.

Usage: print_bound.py NOT_A_VIDEO
"""
import builtins
import sys
from pathlib import Path

from report import report

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from vcargs import vcapture_args  # noqa: E402

import quarrin.snapwell as m  # noqa: E402

seen = []
builtins.print = lambda *a, **k: seen.append(a)
n = m.vcapture(**vcapture_args(sys.argv[1], "out.avi", fps=10, roi_w=8, roi_h=8, min_area=100,
                               tb=None, tc=None, tx=0, ty=0, fs=1.0))
report(n=n, seen=len(seen))
