"""python -m quarrin: the quarrin command."""
import sys

from quarrin.cli import main

sys.exit(main())
