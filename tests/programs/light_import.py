"""Importing the package loads none of the heavy modules."""
import sys

from report import report

import quarrin  # noqa: E402,F401

report(loaded=[m for m in ("quarrin.snapwell", "cv2", "numpy", "matplotlib") if m in sys.modules])
