"""Region-of-interest video recording with motion and interval gating.

The recorder and the motion checks live in the compiled module ``quarrin.snapwell``; importing
this package alone does not load it (nor OpenCV).
"""
