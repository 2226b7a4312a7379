"""Argument matching, conversion, type tests and buffer validation of the exported entries."""
import sys
import traceback
import warnings

import cv2
import numpy as np
import pytest

from quarrin import snapwell
from vcargs import vcapture_args

GRAY = snapwell.check_motion_gray
RGB = snapwell.check_motion_rgb


def frames(h=24, w=32):
    return np.zeros((h, w), np.uint8), np.zeros((h, w), np.uint8), np.zeros((h, w), np.uint8)


def entry_names(exc_info):
    return [f.name for f in traceback.extract_tb(exc_info.value.__traceback__)]


def capture_args(**override):
    """A full, valid vcapture argument set whose body stops at once: input_ None fails int()."""
    values = dict(input_=None, output="out.avi", fps=10, roi_w=8, roi_h=8, threshold=20, min_area=10,
                  tb=None, tc=None, tx=0, ty=0)
    values.update(override)
    return vcapture_args(**values)


class Str(str):
    pass


# ---- counting and keywords ----------------------------------------------------------------------

def _count_cases():
    a, b, c = frames()
    many = list(capture_args().values())
    return [
        (lambda: GRAY(a, b, c, 10), TypeError, "check_motion_gray() takes at least 5 positional arguments (4 given)"),
        (lambda: GRAY(a, b, c, 10, 1, 3, 0, 9), TypeError,
         "check_motion_gray() takes at most 7 positional arguments (8 given)"),
        (lambda: RGB(), TypeError, "check_motion_rgb() takes at least 5 positional arguments (0 given)"),
        (lambda: GRAY(a, b, c, min_area=100), TypeError,
         "check_motion_gray() takes at least 5 positional arguments (3 given)"),
        (lambda: GRAY(a, b, c, 10, 1, 3, 0, 9, show_diff=1), TypeError,
         "check_motion_gray() takes at most 7 positional arguments (8 given)"),
        (lambda: GRAY(a, b, c, 10, 100, threshold=5), TypeError,
         "check_motion_gray() got multiple values for keyword argument 'threshold'"),
        (lambda: GRAY(a, b, c, 10, 100, thresh=5), TypeError,
         "check_motion_gray() got an unexpected keyword argument 'thresh'"),
        (lambda: snapwell.vcapture(*many[:25]), TypeError,
         "vcapture() takes exactly 26 positional arguments (25 given)"),
        (lambda: snapwell.vcapture(*many, 1), TypeError, "vcapture() takes exactly 26 positional arguments (27 given)"),
        (lambda: snapwell.vcapture(*many[:10]), TypeError,
         "vcapture() takes exactly 26 positional arguments (10 given)"),
        (lambda: snapwell.vcapture(*many[:25], input=1), TypeError,
         "vcapture() got an unexpected keyword argument 'input'"),
        (lambda: snapwell.vcapture(*many[:24], fs=1.0), TypeError,
         "vcapture() takes exactly 26 positional arguments (24 given)"),
    ]


@pytest.mark.parametrize("call, exc, message", _count_cases())
def test_count_and_keyword_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value) == message
    assert entry_names(info)[-1] == "quarrin.snapwell." + message.split("(")[0]


def test_keywords_in_any_order_and_str_subclass_names():
    a, b, c = frames()
    assert GRAY(min_area=5, threshold=10, blurred_cur=c, blurred_prev=b, gray_cur=a) is False
    assert GRAY(a, b, c, **{Str("threshold"): 10, "min_area": 5}) is False
    with pytest.raises(TypeError, match="keywords must be strings"):
        GRAY(a, b, c, 10, **{1: 5})


def test_vcapture_accepts_keyword_for_last_parameter():
    values = list(capture_args().values())
    with pytest.raises(TypeError) as info:
        snapwell.vcapture(*values[:25], fs=1.0)
    assert "positional" not in str(info.value)  # binding succeeded; int(None) failed in the body


# ---- conversions ------------------------------------------------------------------------------------

class IndexOnly:
    def __index__(self):
        return 3


class IntSub(int):
    pass


class IntReturnsSub:
    def __int__(self):
        return IntSub(3)


class IntReturnsFloat:
    def __int__(self):
        return 3.0


class Raises:
    def __int__(self):
        raise ZeroDivisionError("int")

    def __float__(self):
        raise ZeroDivisionError("float")

    def __bool__(self):
        raise ZeroDivisionError("bool")


@pytest.mark.parametrize("kernel_width, ok", [(3, True), (3.9, True), (True, True), (4, False), (-3.5, False)])
def test_integer_truncates_floats(kernel_width, ok):
    """kernel_width reaches cv2.GaussianBlur as a truncated int: 3.9 -> 3 works, 4 does not."""
    a, b, c = frames()
    if ok:
        assert GRAY(a, b, c, 10, 5, kernel_width) is False
    else:
        with pytest.raises(cv2.error):
            GRAY(a, b, c, 10, 5, kernel_width)


@pytest.mark.parametrize("threshold, motion", [(99, True), (99.99, True), (100, False), (2**31 - 1, False)])
def test_threshold_is_compared_after_truncation(threshold, motion):
    a, b, c = frames(40, 40)
    a[:] = 100  # uniform difference of 100 against the zero reference
    assert GRAY(a, b, c, threshold, -(2**31), 3) is motion


@pytest.mark.parametrize(
    "value, exc, message",
    [
        (2**31, OverflowError, None),
        (-(2**31) - 1, OverflowError, None),
        (2**70, OverflowError, None),
        ("12", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
        (IndexOnly(), TypeError, "an integer is required"),
        (IntReturnsFloat(), TypeError, "__int__ returned non-int (type float)"),
        (Raises(), ZeroDivisionError, "int"),
    ],
)
def test_integer_rejections(value, exc, message):
    a, b, c = frames()
    with pytest.raises(exc) as info:
        GRAY(a, b, c, value, 5)
    if message:
        assert str(info.value) == message
    assert "quarrin.snapwell.check_motion_gray" in entry_names(info)


def test_int_subclass_from_dunder_int_warns_then_is_accepted():
    a, b, c = frames()
    text = ("__int__ returned non-int (type IntSub).  The ability to return an instance of a strict subclass of "
            "int is deprecated, and may be removed in a future version of Python.")
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        assert GRAY(a, b, c, IntReturnsSub(), 5) is False
    assert [str(w.message) for w in seen] == [text]
    assert seen[0].category is DeprecationWarning
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning, match="strict subclass"):
            GRAY(a, b, c, IntReturnsSub(), 5)


@pytest.mark.parametrize(
    "override, exc, message",
    [
        (dict(interval="x"), TypeError, "must be real number, not str"),
        (dict(duration=Raises()), ZeroDivisionError, "float"),
        (dict(fs=10**400), OverflowError, "int too large to convert to float"),
        (dict(interactive=Raises()), ZeroDivisionError, "bool"),
        # all three accepted by the conversions; the region check then refuses a 1-pixel width
        (dict(fps=1.5, interval=IndexOnly(), roi_w=True), ValueError, "roi_w must be at least 8"),
        # conversions run before the type tests
        (dict(threshold="x", input_=3), TypeError, "an integer is required"),
        (dict(input_=3), TypeError, "Argument 'input_' has incorrect type (expected str, got int)"),
        (dict(output=Str("o.avi")), TypeError, "Argument 'output' has incorrect type (expected str, got Str)"),
        (dict(tb=[0, 0, 255]), TypeError, "Argument 'tb' has incorrect type (expected numpy.ndarray, got list)"),
        (dict(tc=np.array([0, 0, 255])), ValueError, "Buffer dtype mismatch, expected 'int' but got 'long'"),
        (dict(tb=np.array([0, 0, 255], ">i4")), ValueError, "Big-endian buffer not supported on little-endian compiler"),
        (dict(tb=np.zeros((1, 3), np.int32)), ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)"),
    ],
)
def test_vcapture_conversions_and_type_tests(override, exc, message):
    with pytest.raises(exc) as info:
        snapwell.vcapture(**capture_args(**override))
    assert str(info.value).startswith(message)


def test_type_test_errors_carry_no_entry_but_buffer_errors_do():
    a, b, c = frames()
    with pytest.raises(TypeError) as info:
        GRAY([[0]], b, c, 10, 100)
    assert str(info.value) == "Argument 'gray_cur' has incorrect type (expected numpy.ndarray, got list)"
    assert "quarrin.snapwell.check_motion_gray" not in entry_names(info)
    with pytest.raises(ValueError) as info:
        GRAY(a.astype(np.float64), b, c, 10, 100)
    assert entry_names(info)[-1] == "quarrin.snapwell.check_motion_gray"


def test_conversion_error_wins_over_type_error():
    _, b, c = frames()
    with pytest.raises(TypeError, match="an integer is required"):
        GRAY([[0]], b, c, "x", 100)


@pytest.mark.parametrize("show_diff, shown", [([], False), (None, False), (0, False), ("no", True), ([0], True)])
def test_flag_truth_values(rig, show_diff, shown):
    class Shown(Exception):
        pass

    a, b, c = frames()
    rig.fake_cv2(failures={"namedWindow": Shown})
    if shown:
        with pytest.raises(Shown):
            GRAY(a, b, c, 10, 5, 3, show_diff)
    else:
        assert GRAY(a, b, c, 10, 5, 3, show_diff) is False
    with pytest.raises(ZeroDivisionError):
        GRAY(a, b, c, 10, 5, 3, Raises())


# ---- buffer validation --------------------------------------------------------------------------------

def _structured(**kw):
    return np.zeros((4, 4), np.dtype(kw))


ACCEPTED = [
    np.zeros((6, 6), np.uint8),
    np.zeros((6, 6), np.bool_),
    np.zeros((12, 12), np.uint8)[::2, ::2],  # non-contiguous
    np.zeros((6, 6, 2), np.uint8)[:, :, 0],
    np.zeros((6, 6), np.dtype([("a", "u1")])),  # a structure of one byte is one byte
    np.zeros((6, 6), np.dtype([("a", [("b", "u1")])])),
]


@pytest.mark.parametrize("array", ACCEPTED, ids=lambda a: str(a.dtype))
def test_accepted_gray_arrays(array):
    read_only = array.copy()
    read_only.flags.writeable = False
    h, w = array.shape
    for gray in (array, read_only):
        b, c = np.zeros((h, w), np.uint8), np.zeros((h, w), np.uint8)
        try:
            assert GRAY(gray, b, c, 10, 5, 3) is False
        except cv2.error:  # validation passed; cv2 itself does not blur every element type
            assert array.dtype != np.uint8
        assert GRAY(c, gray[:, :] if gray.dtype == np.uint8 else b, c, 10, 5, 3) is False


REJECTED = [
    (np.float64, "Buffer dtype mismatch, expected 'unsigned char' but got 'double'"),
    (np.int64, "Buffer dtype mismatch, expected 'unsigned char' but got 'long'"),
    (np.int8, "Buffer dtype mismatch, expected 'unsigned char' but got 'signed char'"),
    (np.float16, "Does not understand character buffer dtype format string ('e')"),
    (np.complex128, "Buffer dtype mismatch, expected 'unsigned char' but got 'complex double'"),
    (np.longdouble, "Buffer dtype mismatch, expected 'unsigned char' but got 'long double'"),
    (object, "Buffer dtype mismatch, expected 'unsigned char' but got Python object"),
    ("S1", "Buffer dtype mismatch, expected 'unsigned char' but got a string"),
    (">u2", "Big-endian buffer not supported on little-endian compiler"),
    ("V2", "Buffer dtype mismatch, expected 'unsigned char' but got end"),
    ([("a", "u1"), ("b", "u1")], "Buffer dtype mismatch, expected end but got 'unsigned char'"),
    ([("a", "u1", (2,))], "Expected 0 dimension(s), got 1"),
    ({"names": ["a"], "formats": ["u1"], "offsets": [1], "itemsize": 2},
     "Buffer dtype mismatch; next field is at offset 1 but 0 expected"),
    ({"names": ["a"], "formats": ["u1"], "offsets": [0], "itemsize": 2},
     "Item size of buffer (2 bytes) does not match size of 'unsigned char' (1 byte)"),
]


@pytest.mark.parametrize("dtype, message", REJECTED, ids=[m for _, m in REJECTED])
def test_rejected_gray_arrays(dtype, message):
    bad = np.zeros((6, 6), np.dtype(dtype))
    a, b, c = frames(6, 6)
    for args in ((bad, b, c), (a, bad, c), (a, b, bad)):
        with pytest.raises(ValueError) as info:
            GRAY(*args, 10, 5, 3)
        assert str(info.value) == message


@pytest.mark.parametrize(
    "current, message",
    [
        (np.zeros((6, 6), np.uint8), "Buffer has wrong number of dimensions (expected 3, got 2)"),
        (np.zeros((6, 6, 3, 1), np.uint8), "Buffer has wrong number of dimensions (expected 3, got 4)"),
        (np.zeros((6, 6, 3), np.float64), "Buffer dtype mismatch, expected 'unsigned char' but got 'double'"),
    ],
)
def test_rejected_colour_frames(current, message):
    _, b, c = frames(6, 6)
    with pytest.raises(ValueError) as info:
        RGB(current, b, c, 10, 5)
    assert str(info.value) == message
    with pytest.raises(ValueError, match=r"expected 2, got 3"):
        RGB(np.zeros((6, 6, 3), np.uint8), np.zeros((6, 6, 3), np.uint8), c, 10, 5)


def test_int_arrays_for_colours():
    ok = dict(tb=np.array([0, 0, 255], np.int32), tc=np.array([255, 255, 255], np.intc)[::-1])
    with pytest.raises(TypeError) as info:  # validation passed; int(None) fails in the body
        snapwell.vcapture(**capture_args(**ok))
    assert "int()" in str(info.value)


def test_buffer_export_error_passes_unchanged():
    import datetime

    dates = np.array([[datetime.datetime(2020, 1, 1)]], "M8[s]")
    a, b, c = frames(1, 1)
    with pytest.raises((ValueError, TypeError)) as info:
        GRAY(a, b, dates, 10, 5, 3)
    assert "Buffer dtype mismatch" not in str(info.value)


@pytest.mark.parametrize("bad_position", [0, 1, 2])
def test_views_released_on_every_path(bad_position):
    """After failed and successful calls no view is left: the arrays can be resized in place."""
    arrays = [np.zeros((8, 8), np.uint8) for _ in range(3)]
    before = [sys.getrefcount(a) for a in arrays]
    bad = list(arrays)
    bad[bad_position] = np.zeros((8, 8), np.float32)
    with pytest.raises(ValueError):
        GRAY(*bad, 10, 5, 3)
    del bad
    with pytest.raises(TypeError):
        GRAY(*arrays, 10, 5, 3, [].__len__, bogus=1)
    with pytest.raises(Exception):
        GRAY(*arrays, 10, 5, 4)  # fails inside cv2, after validation
    assert GRAY(*arrays, 10, 5, 3) is False
    assert [sys.getrefcount(a) for a in arrays] == before
    while arrays:
        a = arrays.pop()
        a.resize((4, 4))  # refuses while anything else holds a reference
