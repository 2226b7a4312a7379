"""python -m quarrin: the quarrin command."""
import sys

from quarrin.cli import run

sys.exit(run())
