"""The sanitizer pass itself: when the suite runs with AddressSanitizer preloaded (the `asan`
pass of scripts/test.sh), a memory error in the process must end it with a report. Without this
a pass that silently lost its runtime would still come out green."""
import os
import subprocess
import sys

import pytest

pytestmark = pytest.mark.skipif("libasan" not in os.environ.get("LD_PRELOAD", ""),
                                reason="runs in the sanitizer pass only")


def test_the_module_is_instrumented():
    import quarrin.snapwell as m
    with open("/proc/self/maps") as f:
        maps = f.read()
    assert "libasan" in maps and "libubsan" in maps, "the sanitizer runtimes are not loaded"
    with open(m.__file__, "rb") as f:
        assert b"__asan_report" in f.read(), "%s is not a sanitizer build" % m.__file__


def test_a_heap_overflow_is_reported_and_halts():
    # Python's allocator goes through malloc in this pass (PYTHONMALLOC=malloc), so a ctypes
    # buffer is an ASan heap block, and the intercepted memmove checks both ends.
    proc = subprocess.run([sys.executable, "-c",
                           "import ctypes; b = ctypes.create_string_buffer(16); "
                           "ctypes.memmove(b, b'x' * 64, 64); print('survived')"],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode != 0 and "survived" not in proc.stdout
    assert "ERROR: AddressSanitizer: heap-buffer-overflow" in proc.stderr
