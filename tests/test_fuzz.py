"""Fuzzing the three entries and the recorder behind the front end with hypothesis
(tests/fuzzing.py has the strategies and the worker): every parameter gets values at and past its
limits, of the wrong type, and objects, arrays, callables and writer objects that misbehave. A
call may return or raise one of the documented exception types; a crash, a hang, a thread left
running or any other exception (a SystemError above all) fails. scripts/fuzz.py runs 100,000
examples and prints what came out."""
import os

import pytest

import parts

hypothesis = parts.module("hypothesis")
from hypothesis import HealthCheck, given, settings  # noqa: E402

import fuzzing  # noqa: E402

# The argument layer is the same on every interpreter; the sanitizers are where a fuzzed fault shows.
pytestmark = pytest.mark.only_in("np2", "asan")

# A few thousand examples in all keep CI within about half a minute; QUARRIN_FUZZ_EXAMPLES
# scales them.
EXAMPLES = int(os.environ.get("QUARRIN_FUZZ_EXAMPLES", "700"))
SETTINGS = settings(max_examples=EXAMPLES, deadline=None, database=None,
                    suppress_health_check=list(HealthCheck))


@pytest.fixture(scope="module")
def worker(tmp_path_factory):
    w = fuzzing.Worker(str(tmp_path_factory.mktemp("fuzz")))
    yield w
    w.close()


def check(worker, entry, call):
    args, kwargs, shape = call
    outcome, text = worker.call(entry, args, kwargs, shape)
    assert outcome in ("ok", "unbuildable") + fuzzing.ALLOWED, (
        "%s(*%r, **%r) [%s] raised %s" % (entry, args, kwargs, shape, text))


@pytest.mark.parametrize("entry, colour", [("check_motion_gray", False),
                                           ("check_motion_rgb", True)])
def test_motion_checks(worker, entry, colour):
    @SETTINGS
    @given(call=fuzzing.motion_call(colour))
    def run(call):
        check(worker, entry, call)
    run()


@pytest.mark.parametrize("entry, strategy, share", [("vcapture", fuzzing.vcapture_call, 2),
                                                    ("record", fuzzing.record_call, 0.4)], ids=["vcapture", "record"])
def test_recorders(worker, entry, strategy, share):
    @settings(SETTINGS, max_examples=int(EXAMPLES * share))
    @given(call=strategy())
    def run(call):
        check(worker, entry, call)
    run()
