"""Run inside a second interpreter by second_interpreter.py: one SUB line on what the import did."""
import sys

try:
    import quarrin.snapwell  # noqa: F401
except BaseException as exc:
    sys.stdout.write(f"SUB {type(exc).__name__}: {exc}\n")
else:
    sys.stdout.write("SUB imported\n")
sys.stdout.flush()
