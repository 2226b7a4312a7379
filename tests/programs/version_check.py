"""Imports the module once the preloaded Py_GetVersion (fake_version.c) reports its fake text."""
import os
import sys
import warnings

import argparse, csv, numpy, cv2, matplotlib.colors, caputil  # noqa: E401,F401  (the dependencies load normally)

from report import describe, report

os.environ["FAKE_VERSION_ON"] = "1"
try:
    with warnings.catch_warnings(record=True) as caught:
        if not sys.warnoptions:  # keep -W error::RuntimeWarning in force
            warnings.simplefilter("always")
        import quarrin.snapwell  # noqa: F401
except BaseException as exc:
    report(error=describe(exc), warnings=[])
else:
    report(error=None, warnings=[[w.category.__name__, str(w.message)] for w in caught
                                 if "Python version" in str(w.message)])
