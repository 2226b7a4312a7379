"""Motion checks: real cv2 on small synthetic frames, plus the fake cv2 and fake caputil modules
bound into the module namespace to pin the call sequence and the version branches."""
import builtins
import traceback
from types import SimpleNamespace

import cv2
import numpy as np
import pytest

from quarrin import snapwell

ABS_WINDOW = "DEBUG - absdiff between frames"
THR_WINDOW = "DEBUG - thresholded absdiff"


def frame(h=24, w=24, squares=(), side=6, value=200):
    f = np.zeros((h, w), np.uint8)
    for y, x in squares:
        f[y:y + side, x:x + side] = value
    return f


def blur(f, k=3):
    return cv2.GaussianBlur(f, (k, k), 0)


def pair(reference, h=24, w=24):
    """blurred_prev holding the blurred reference, blurred_cur filled with junk."""
    return blur(reference), np.full((h, w), 77, np.uint8)


def areas(gray, prev, threshold=20, k=3):
    diff = cv2.absdiff(blur(gray, k), prev)
    mask = cv2.dilate(cv2.threshold(diff, threshold, 255, cv2.THRESH_BINARY)[1], None, iterations=2)
    found = cv2.findContours(mask, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)
    return [cv2.contourArea(c) for c in found[-2]]


@pytest.fixture
def recorder(rig):
    """The fake cv2 bound as the module's cv2: real pixel functions, logged, and stand-in windows."""
    return rig.fake_cv2()


# ---------------------------------------------------------------- detection with the real cv2

@pytest.mark.parametrize("ref_at, gray_at, k, expected", [
    ((5, 5), (5, 5), 1, False), ((5, 5), (5, 5), 5, False),  # still scene
    ((3, 3), (12, 12), 3, True),                               # moving square
])
def test_blurred_pair_after_a_call(ref_at, gray_at, k, expected):
    gray = frame(squares=[gray_at])
    prev, cur = blur(frame(squares=[ref_at]), k), np.full((24, 24), 77, np.uint8)
    before = prev.copy()
    assert snapwell.check_motion_gray(gray, prev, cur, 20, 10, k) is expected
    np.testing.assert_array_equal(cur, blur(gray, k))
    np.testing.assert_array_equal(prev, cur if expected else before)


@pytest.mark.parametrize("threshold, expected", [(20, True), (254, True), (255, False), (10**6, False)])
def test_threshold_is_strict(threshold, expected):
    gray = frame(squares=[(9, 9)], value=255)
    prev, cur = np.zeros((24, 24), np.uint8), np.zeros((24, 24), np.uint8)
    assert snapwell.check_motion_gray(gray, prev, cur, threshold, 0, 1) is expected
    np.testing.assert_array_equal(prev, gray if expected else 0)


@pytest.mark.parametrize("h, w, offset, expected", [
    (24, 24, -1, True), (24, 24, 0, False),  # a square's contour, area taken from the same pipeline
    (1, 16, -1, True), (1, 16, 0, False),    # one row: a degenerate contour of area 0
])
def test_min_area_is_a_strict_bound(h, w, offset, expected):
    gray = frame(h, w, squares=[(min(h - 1, 9), 5)], side=6, value=255)
    prev, cur = np.zeros((h, w), np.uint8), np.zeros((h, w), np.uint8)
    found = areas(gray, prev)
    assert len(found) == 1 and float(found[0]).is_integer() and (found[0] > 0) == (h > 1)
    assert snapwell.check_motion_gray(gray, prev, cur, 20, int(found[0]) + offset, 3) is expected


def test_slow_drift_accumulates_against_old_reference():
    ref = frame(squares=[(6, 6)], side=12, value=100)
    prev, cur = pair(ref)
    original = prev.copy()
    results = []
    for step in (8, 16, 24):
        results.append(snapwell.check_motion_gray(frame(squares=[(6, 6)], side=12, value=100 + step),
                                                  prev, cur, 20, 10, 3))
        if not results[-1]:
            np.testing.assert_array_equal(prev, original)
    assert results == [False, False, True]
    np.testing.assert_array_equal(prev, cur)


@pytest.mark.parametrize("moved", [False, True])
def test_colour_matches_gray_on_converted_frame(moved):
    rng = np.random.default_rng(7)
    ref = rng.integers(0, 60, (24, 32, 3), dtype=np.uint8)
    cur_frame = ref.copy()
    if moved:
        cur_frame[8:16, 10:20] = (250, 30, 200)
    gray_ref = cv2.cvtColor(ref, cv2.COLOR_BGR2GRAY)
    arrays = [[blur(gray_ref, 5), np.zeros((24, 32), np.uint8)] for _ in range(2)]
    r_rgb = snapwell.check_motion_rgb(cur_frame, *arrays[0], 20, 10, 5)
    r_gray = snapwell.check_motion_gray(cv2.cvtColor(cur_frame, cv2.COLOR_BGR2GRAY), *arrays[1], 20, 10, 5)
    assert r_rgb is r_gray is moved
    for a, b in zip(*arrays):
        np.testing.assert_array_equal(a, b)


@pytest.mark.parametrize("layout", ["step", "fortran"])
def test_non_contiguous_arrays_are_used_in_place(layout):
    gray, ref = frame(squares=[(12, 12)]), frame(squares=[(3, 3)])
    expect_prev, expect_cur = pair(ref)
    expected = snapwell.check_motion_gray(gray, expect_prev, expect_cur, 20, 10, 3)

    def view(a):
        if layout == "fortran":
            return np.asfortranarray(a)
        parent = np.full((48, 48), 9, np.uint8)
        parent[::2, ::2] = a
        return parent[::2, ::2]
    g, prev, cur = view(gray), *map(view, pair(ref))
    assert not g.flags.c_contiguous
    assert snapwell.check_motion_gray(g, prev, cur, 20, 10, 3) is expected is True
    np.testing.assert_array_equal(cur, expect_cur)
    np.testing.assert_array_equal(prev, expect_prev)
    if layout == "step":  # cells between the strided ones are left alone
        for a in (prev, cur):
            assert (a.base[1::2] == 9).all() and (a.base[:, 1::2] == 9).all()


def test_read_only_arrays():
    gray = frame(squares=[(12, 12)])
    gray.flags.writeable = False
    prev, cur = pair(frame(squares=[(12, 12)]))
    assert snapwell.check_motion_gray(gray, prev, cur, 20, 10, 3) is False  # read-only gray_cur is fine

    # A read-only reference is only written, and only fails, when motion is found.
    prev.flags.writeable = False
    moved = frame(squares=[(2, 2)])
    with pytest.raises(ValueError, match="read-only"):
        snapwell.check_motion_gray(moved, prev, cur, 20, 10, 3)
    np.testing.assert_array_equal(cur, blur(moved))  # the failure after the blur keeps the new frame
    np.testing.assert_array_equal(prev, blur(gray))

    ro_cur = np.full((24, 24), 77, np.uint8)
    ro_cur.flags.writeable = False
    with pytest.raises(ValueError, match="read-only"):
        snapwell.check_motion_gray(gray, blur(gray), ro_cur, 20, 10, 3)


@pytest.mark.parametrize("fn, index, exc", [
    (snapwell.check_motion_gray, 0, cv2.error),   # GaussianBlur(None, ...)
    (snapwell.check_motion_gray, 1, cv2.error),   # absdiff(blurred_cur, None)
    (snapwell.check_motion_gray, 2, TypeError),   # None[:, :] = ...
    (snapwell.check_motion_rgb, 0, cv2.error),    # cvtColor(None, ...)
])
def test_none_arrays_fail_at_first_use(fn, index, exc):
    args = [frame(squares=[(4, 4)]), *pair(frame())]
    if fn is snapwell.check_motion_rgb:
        args[0] = np.zeros((24, 24, 3), np.uint8)
    args[index] = None
    with pytest.raises(exc):
        fn(*args, 20, 10, 3)


@pytest.mark.parametrize("shapes, exc, blurred", [
    (((24, 24), (24, 30), (24, 24)), cv2.error, True),   # reference differs: absdiff rejects it
    (((24, 24), (24, 24), (24, 30)), ValueError, False),  # blurred_cur differs: slice assignment
    (((20, 24), (24, 24), (24, 24)), ValueError, False),
])
def test_mismatched_sizes_raise(shapes, exc, blurred):
    gray, prev, cur = (np.full(s, 40, np.uint8) for s in shapes)
    before = prev.copy()
    with pytest.raises(exc):
        snapwell.check_motion_gray(gray, prev, cur, 20, 10, 3)
    np.testing.assert_array_equal(prev, before)
    np.testing.assert_array_equal(cur, blur(gray) if blurred else 40)


@pytest.mark.parametrize("k", [4, 2, 0, -1, -3])
def test_bad_kernel_width_raises_cv2_error_and_leaves_pair(k):
    prev, cur = pair(frame())
    before = prev.copy(), cur.copy()
    with pytest.raises(cv2.error):
        snapwell.check_motion_gray(frame(squares=[(4, 4)]), prev, cur, 20, 10, k)
    np.testing.assert_array_equal(prev, before[0])
    np.testing.assert_array_equal(cur, before[1])


def _entries(exc_info):
    return [(e.name, e.filename) for e in traceback.extract_tb(exc_info.value.__traceback__)]


def test_traceback_entries():
    prev, cur = pair(frame())
    with pytest.raises(cv2.error) as gray_info:
        snapwell.check_motion_gray(frame(), prev, cur, 20, 10, 4)
    assert ("quarrin.snapwell.check_motion_gray", "quarrin/snapwell") in _entries(gray_info)

    with pytest.raises(cv2.error) as rgb_info:
        snapwell.check_motion_rgb(np.zeros((24, 24, 3), np.uint8), prev, cur, 20, 10, 4)
    entries = _entries(rgb_info)
    rgb = entries.index(("quarrin.snapwell.check_motion_rgb", "quarrin/snapwell"))
    gray = entries.index(("quarrin.snapwell.check_motion_gray", "quarrin/snapwell"))
    assert rgb < gray  # the delegate's entry is the deeper one


# ---------------------------------------------------------------- recording cv2, fake caputil

@pytest.mark.parametrize("squares, kernel", [([], 3), ([(4, 4)], 3), ([(2, 2), (14, 14)], 3), ([(4, 4)], None)])
def test_call_sequence_and_arguments(recorder, squares, kernel):
    gray = frame(squares=squares)
    prev, cur = pair(frame())
    extra = () if kernel is None else (kernel,)
    result = snapwell.check_motion_gray(gray, prev, cur, 20, 10, *extra)
    k = 21 if kernel is None else kernel
    calls = recorder.calls
    blur_c, diff_c, thr_c, dil_c, find_c, *area_cs = calls
    assert recorder.names()[:5] == ["GaussianBlur", "absdiff", "threshold", "dilate", "findContours"]
    assert blur_c.args[0] is gray and blur_c.args[1:] == ((k, k), 0) and type(blur_c.args[1]) is tuple
    assert diff_c.args[0] is cur and diff_c.args[1] is prev
    assert thr_c.args[0] is diff_c.result and thr_c.args[1:] == (20, 255, cv2.THRESH_BINARY)
    assert dil_c.args[0] is thr_c.result[1] and dil_c.args[1] is None and dil_c.kwargs == {"iterations": 2}
    assert find_c.args[0] is dil_c.result and find_c.args[1:] == (cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)
    contours = find_c.result[0]
    assert len(contours) == len(squares)
    assert [c.name for c in area_cs] == ["contourArea"] * len(contours)  # every contour, no early exit
    assert all(c.args[0] is contour for c, contour in zip(area_cs, contours))
    assert result is bool(squares)


@pytest.mark.parametrize("squares, min_area, read_only_prev", [
    ([], 10, False),                  # nothing found: both windows still declared and shown
    ([(4, 4)], 10**6, False),         # found but not retained: still drawn
    ([(1, 1), (15, 15)], 10, False),  # motion: all contours drawn, reference updated
    ([(4, 4)], 10, True),             # motion: read-only reference fails after the views
])
def test_debug_views(recorder, squares, min_area, read_only_prev):
    gray = frame(squares=squares)
    prev, cur = pair(frame())
    prev.flags.writeable = not read_only_prev
    motion = bool(squares) and min_area == 10
    if read_only_prev:
        with pytest.raises(ValueError, match="read-only"):
            snapwell.check_motion_gray(gray, prev, cur, 20, min_area, 3, show_diff=1)
    else:
        assert snapwell.check_motion_gray(gray, prev, cur, 20, min_area, 3, show_diff=1) is motion
        np.testing.assert_array_equal(prev, cur if motion else blur(frame()))
    calls, names = recorder.calls, recorder.names()
    assert "waitKey" not in names
    diff_c, find_c = calls[names.index("absdiff")], calls[names.index("findContours")]
    views = calls[names.index("findContours") + 1 + len(squares):]
    assert [c.name for c in views] == ["namedWindow", "namedWindow", "applyColorMap", "drawContours",
                                       "imshow", "imshow"]
    assert views[0].args == (ABS_WINDOW, cv2.WINDOW_NORMAL) and views[1].args == (THR_WINDOW, cv2.WINDOW_NORMAL)
    assert views[2].args[0] is diff_c.result and views[2].args[1:] == (cv2.COLORMAP_JET,)
    coloured = views[2].result
    assert views[3].args[0] is coloured and views[3].args[1] is find_c.result[0]
    assert len(views[3].args[1]) == len(squares)
    assert views[3].args[2:] == (-1, -1) and not views[3].kwargs
    assert views[4].args[0] == ABS_WINDOW and views[4].args[1] is coloured
    assert views[5].args[0] == THR_WINDOW and views[5].args[1] is find_c.args[0]


@pytest.mark.parametrize("fn, fake, exc, message", [
    (snapwell.check_motion_gray, {"absdiff": lambda a, b: [[0]]}, TypeError, "Cannot convert list to numpy.ndarray"),
    (snapwell.check_motion_gray, {"absdiff": lambda a, b: np.zeros(a.shape)}, ValueError,
     "Buffer dtype mismatch, expected 'unsigned char' but got 'double'"),
    (snapwell.check_motion_gray, {"absdiff": lambda a, b: np.zeros(a.shape + (1,), np.uint8)}, ValueError,
     r"Buffer has wrong number of dimensions \(expected 2, got 3\)"),
    (snapwell.check_motion_rgb, {"cvtColor": lambda f, code: (1, 2)}, TypeError,
     "Cannot convert tuple to numpy.ndarray"),
    (snapwell.check_motion_rgb, {"cvtColor": lambda f, code: f}, ValueError,
     r"Buffer has wrong number of dimensions \(expected 2, got 3\)"),
])
def test_bad_intermediate_images_are_rejected(rig, fn, fake, exc, message):
    rig.fake_cv2(overrides=fake)
    gray = frame(squares=[(4, 4)])
    current = cv2.cvtColor(gray, cv2.COLOR_GRAY2BGR) if fn is snapwell.check_motion_rgb else gray
    prev, cur = pair(frame())
    before = prev.copy(), cur.copy()
    with pytest.raises(exc, match=f"^{message}$"):
        fn(current, prev, cur, 20, 10, 3)
    np.testing.assert_array_equal(prev, before[0])
    np.testing.assert_array_equal(cur, blur(gray) if "absdiff" in fake else before[1])


def test_colour_frame_of_wrong_rank_is_rejected_before_cv2(recorder):
    prev, cur = pair(frame())
    with pytest.raises(ValueError, match=r"expected 3, got 2"):
        snapwell.check_motion_rgb(frame(), prev, cur, 20, 10, 3)
    assert recorder.calls == []


class Flip:
    """CV2_MAJOR that answers 5 on its first read and 4 afterwards."""

    def __init__(self):
        self.reads = 0

    @property
    def CV2_MAJOR(self):
        self.reads += 1
        return 5 if self.reads == 1 else 4


@pytest.mark.parametrize("major, layout, outcome", [
    (3, 3, True), (3.0, 3, True), (np.int64(3), 3, True), (4, 2, True), (np.int64(4), 2, True),
    (Flip(), 2, True),  # read afresh for each comparison
    (5, 2, TypeError), ("4", 2, TypeError), (None, 3, TypeError),
    (3, 2, "need more than 2 values to unpack"), (4, 3, r"too many values to unpack \(expected 2\)"),
])
def test_contour_layout_follows_caputil(rig, major, layout, outcome):
    def find(*args):
        found = cv2.findContours(*args)
        return (args[0],) + tuple(found) if layout == 3 else found
    rig.fake_cv2(overrides={"findContours": find})
    rig.bind(caputil=major if isinstance(major, Flip) else SimpleNamespace(CV2_MAJOR=major))
    prev, cur = pair(frame())
    call = lambda: snapwell.check_motion_gray(frame(squares=[(4, 4)]), prev, cur, 20, 10, 3)
    if outcome is True:
        assert call() is True
        np.testing.assert_array_equal(prev, cur)
    else:
        with pytest.raises(TypeError if outcome is TypeError else ValueError,
                           match="not iterable" if outcome is TypeError else f"^{outcome}$"):
            call()
        np.testing.assert_array_equal(prev, blur(frame()))


@pytest.mark.parametrize("name", ["cv2", "caputil"])
def test_globals_are_looked_up_at_each_call(monkeypatch, name):
    real = snapwell.__dict__[name]
    prev, cur = pair(frame())
    moved = frame(squares=[(4, 4)])
    assert snapwell.check_motion_gray(moved, prev, cur, 20, 10, 3) is True
    monkeypatch.delitem(snapwell.__dict__, name)
    with pytest.raises(NameError, match=f"^name '{name}' is not defined$"):
        snapwell.check_motion_gray(moved, prev, cur, 20, 10, 3)
    monkeypatch.setattr(builtins, name, real, raising=False)
    prev[:] = 0
    assert snapwell.check_motion_gray(moved, prev, cur, 20, 10, 3) is True


@pytest.mark.parametrize("module, attr, value, outcome", [
    (cv2, "absdiff", lambda a, b: [[0]], TypeError),
    (cv2, "THRESH_BINARY", cv2.THRESH_BINARY_INV, True),  # inverted mask: a still scene "moves"
    ("caputil", "CV2_MAJOR", 5, TypeError),
])
def test_attributes_are_read_at_each_call(monkeypatch, module, attr, value, outcome):
    # Rebinding an attribute of the bound module itself (not the name) also takes effect at once.
    module = snapwell.__dict__[module] if isinstance(module, str) else module
    prev, cur = pair(frame())
    moved = frame(squares=[(4, 4)])
    assert snapwell.check_motion_gray(moved, prev, cur, 20, 10, 3) is True
    monkeypatch.setattr(module, attr, value)
    if outcome is True:
        assert snapwell.check_motion_gray(moved, prev, cur, 20, 10, 3) is True
    else:
        with pytest.raises(outcome):
            snapwell.check_motion_gray(moved, prev, cur, 20, 10, 3)
    monkeypatch.undo()
    assert snapwell.check_motion_gray(moved, prev, cur, 20, 10, 3) is False
