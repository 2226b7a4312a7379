// Motion checks: blur the new frame, difference it against the caller's reference, threshold,
// dilate, find the outer contours and count motion when one encloses more than min_area.
// All pixel work is done by cv2; this code sequences the calls and maintains the reference.
#include "motion/motion.hpp"

#include "motion/steps.hpp"

#include <array>
#include <cstddef>

namespace quarrin {

const Name n_threshold("threshold"), n_min_area("min_area"), n_kernel_width("kernel_width"),
    n_show_diff("show_diff");

namespace {

const Name n_current("current"), n_gray_cur("gray_cur"), n_blurred_prev("blurred_prev"),
    n_blurred_cur("blurred_cur");
const Name n_caputil("caputil"), n_CV2_MAJOR("CV2_MAJOR");
const Name n_GaussianBlur("GaussianBlur"), n_absdiff("absdiff"), n_THRESH_BINARY("THRESH_BINARY"),
    n_dilate("dilate"), n_iterations("iterations"), n_findContours("findContours"), n_RETR_EXTERNAL("RETR_EXTERNAL"),
    n_CHAIN_APPROX_SIMPLE("CHAIN_APPROX_SIMPLE"), n_contourArea("contourArea"), n_applyColorMap("applyColorMap"), n_COLORMAP_JET("COLORMAP_JET"),
    n_drawContours("drawContours"), n_cvtColor("cvtColor"), n_COLOR_BGR2GRAY("COLOR_BGR2GRAY");
const Name n_absdiff_window("DEBUG - absdiff between frames"), n_threshold_window("DEBUG - thresholded absdiff");

// ---- signatures ----------------------------------------------------------------------------------

// Both checks take the same parameters but for the first: the frame, gray (2-D) or colour (3-D).
constexpr std::array<Param, 7> motion_params(const Name& frame, int frame_ndim) {
    return {{
        {&frame, Kind::Array, offsetof(MotionArgs, frame), Elem::UChar, frame_ndim},
        {&n_blurred_prev, Kind::Array, offsetof(MotionArgs, blurred_prev), Elem::UChar, 2},
        {&n_blurred_cur, Kind::Array, offsetof(MotionArgs, blurred_cur), Elem::UChar, 2},
        {&n_threshold, Kind::Integer, offsetof(MotionArgs, threshold)},
        {&n_min_area, Kind::Integer, offsetof(MotionArgs, min_area)},
        {&n_kernel_width, Kind::Integer, offsetof(MotionArgs, kernel_width)},
        {&n_show_diff, Kind::Flag, offsetof(MotionArgs, show_diff)},
    }};
}

const std::array<Param, 7> gray_params = motion_params(n_gray_cur, 2);
const std::array<Param, 7> rgb_params = motion_params(n_current, 3);
const MotionArgs motion_defaults{};

}  // namespace

const Signature sig_check_motion_rgb = {"check_motion_rgb", "quarrin.snapwell.check_motion_rgb", 21,
                                        rgb_params.data(), int(rgb_params.size()), 5, &motion_defaults};
const Signature sig_check_motion_gray = {"check_motion_gray", "quarrin.snapwell.check_motion_gray", 34,
                                         gray_params.data(), int(gray_params.size()), 5, &motion_defaults};

void require_kernel_width(int32_t kernel_width) {
    if (kernel_width > kMaxKernelWidth) {
        raise_format(PyExc_ValueError, "kernel_width must be at most %d (got %d): wider blurs take unbounded time "
                     "and memory", int(kMaxKernelWidth), int(kernel_width));
    }
}

// ---- the steps (steps.hpp) -----------------------------------------------------------------------

Ref cv2_attr(PyObject* name) { return global_attr(n_cv2, name); }

namespace {

// Python equality of obj with a small int, as `obj == value` would decide it.
bool equals_int(PyObject* obj, long value) {
    if (PyLong_Check(obj)) {
        int overflow = 0;
        const long v = PyLong_AsLongAndOverflow(obj, &overflow);
        if (v == -1) require_no_error();
        return !overflow && v == value;
    }
    if (PyFloat_Check(obj)) return PyFloat_AS_DOUBLE(obj) == double(value);
    Ref other = py_int(value);
    Ref result = Ref::check(PyObject_RichCompare(obj, other.get(), Py_EQ));
    return truth(result.get());  // the comparison's own result object, as `==` in an `if` uses it
}

Ref caputil_major() { return global_attr(n_caputil, n_CV2_MAJOR); }

// The contour collection out of cv2.findContours' result, by the layout caputil reports.
Ref pick_contours(PyObject* found) {
    if (equals_int(caputil_major().get(), 3)) {
        Ref items[3];
        unpack(found, items, 3, UnpackWording::NeedMore);
        return std::move(items[1]);
    }
    if (equals_int(caputil_major().get(), 4)) {
        Ref items[2];
        unpack(found, items, 2, UnpackWording::NeedMore);
        return std::move(items[0]);
    }
    return Ref::borrow(Py_None);
}

PyObject* dilate_kwnames() {
    static PyObject* names = nullptr;  // ("iterations",), kept for the life of the process
    if (!names) names = tuple_of(Ref::borrow(n_iterations.get())).release();
    return names;
}

}  // namespace

void blur_into(PyObject* frame, int32_t kernel_width, PyObject* blurred_cur) {
    Ref ksize = tuple_of(py_int(kernel_width), py_int(kernel_width));
    Ref zero = py_int(0);
    Ref blurred = call(cv2_attr(n_GaussianBlur).get(), {frame, ksize.get(), zero.get()});
    require(PyObject_SetItem(blurred_cur, state.full_slice2, blurred.get()));
}

Ref difference(PyObject* blurred_cur, PyObject* blurred_prev) {
    Ref diff = call(cv2_attr(n_absdiff).get(), {blurred_cur, blurred_prev});
    require_ndarray_or_none(diff.get());
    BufferView diff_view;  // validation only; nothing reads the view
    validate_array(diff.get(), Elem::UChar, 2, diff_view);
    return diff;
}

Ref binary(PyObject* diff, int32_t threshold) {
    Ref thresh = py_int(threshold);
    Ref maxval = py_int(255);
    Ref kind = cv2_attr(n_THRESH_BINARY);
    Ref result = call(cv2_attr(n_threshold).get(), {diff, thresh.get(), maxval.get(), kind.get()});
    Ref items[2];
    unpack(result.get(), items, 2, UnpackWording::NeedMore);
    return std::move(items[1]);
}

Ref dilated(PyObject* mask) {
    Ref iterations = py_int(2);
    return call(cv2_attr(n_dilate).get(), {mask, Py_None, iterations.get()}, dilate_kwnames());
}

Ref outer_contours(PyObject* mask) {
    Ref mode = cv2_attr(n_RETR_EXTERNAL);
    Ref method = cv2_attr(n_CHAIN_APPROX_SIMPLE);
    Ref found = call(cv2_attr(n_findContours).get(), {mask, mode.get(), method.get()});
    return pick_contours(found.get());
}

void show_debug_views(PyObject* diff, PyObject* mask, PyObject* contours) {
    Ref normal = cv2_attr(n_WINDOW_NORMAL);
    call(cv2_attr(n_namedWindow).get(), {n_absdiff_window, normal.get()});
    normal = cv2_attr(n_WINDOW_NORMAL);
    call(cv2_attr(n_namedWindow).get(), {n_threshold_window, normal.get()});
    Ref jet = cv2_attr(n_COLORMAP_JET);
    Ref coloured = call(cv2_attr(n_applyColorMap).get(), {diff, jet.get()});
    Ref minus_one = py_int(-1);
    call(cv2_attr(n_drawContours).get(), {coloured.get(), contours, minus_one.get(), minus_one.get()});
    call(cv2_attr(n_imshow).get(), {n_absdiff_window, coloured.get()});
    call(cv2_attr(n_imshow).get(), {n_threshold_window, mask});
}

Ref contour_area(PyObject* contour) { return call(cv2_attr(n_contourArea).get(), {contour}); }

Ref gray_of(PyObject* frame) {
    Ref code = cv2_attr(n_COLOR_BGR2GRAY);
    Ref gray = call(cv2_attr(n_cvtColor).get(), {frame, code.get()});
    require_ndarray_or_none(gray.get());
    return gray;
}

namespace {

// The grayscale check on arrays already validated (and held) by the caller.
bool gray_detect(const MotionArgs& a) {
    require_kernel_width(a.kernel_width);
    blur_into(a.frame, a.kernel_width, a.blurred_cur);
    Ref diff = difference(a.blurred_cur, a.blurred_prev);
    Ref mask = binary(diff.get(), a.threshold);
    // Only the debug views need the difference image again. Dropping it now, before the dilation
    // allocates, keeps large frames from paging in fresh heap memory on every call.
    if (!a.show_diff) diff = Ref();
    mask = dilated(mask.get());
    Ref contours = outer_contours(mask.get());

    Ref retained = Ref::check(PyList_New(0));
    {
        Ref limit = py_int(a.min_area);
        Ref it = Ref::check(PyObject_GetIter(contours.get()));
        while (Ref c = Ref::steal(PyIter_Next(it.get()))) {
            Ref area = contour_area(c.get());
            Ref above = Ref::check(PyObject_RichCompare(area.get(), limit.get(), Py_GT));
            if (truth(above.get())) require(PyList_Append(retained.get(), c.get()));
        }
        require_no_error();
    }

    if (a.show_diff) show_debug_views(diff.get(), mask.get(), contours.get());

    const bool motion = PyList_GET_SIZE(retained.get()) > 0;
    if (motion) require(PyObject_SetItem(a.blurred_prev, state.full_slice2, a.blurred_cur));
    return motion;
}

// The colour check on arrays already validated by the caller: convert, then the grayscale check
// through its direct entry.
bool rgb_detect(const MotionArgs& a) {
    require_kernel_width(a.kernel_width);
    Ref gray = gray_of(a.frame);
    BufferView gray_view;
    validate_array(gray.get(), Elem::UChar, 2, gray_view);

    MotionArgs gray_args = a;
    gray_args.frame = gray.get();
    return check_motion_gray(gray_args);
}

// Runs a check with its traceback entry added to a failure: the one place for each check.
template <typename Body>
bool traced(const Signature& sig, Body&& body) {
    try {
        return body();
    } catch (const PyError&) {
        add_entry_traceback(sig);
        throw;
    }
}

template <bool (*Detect)(const MotionArgs&)>
bool validated(const MotionArgs& a, int frame_ndim) {
    BufferView views[3];
    validate_array(a.frame, Elem::UChar, frame_ndim, views[0]);
    validate_array(a.blurred_prev, Elem::UChar, 2, views[1]);
    validate_array(a.blurred_cur, Elem::UChar, 2, views[2]);
    return Detect(a);
}

// The Python entries: the argument layer has validated the arrays and holds their views for the
// call, so the check runs without validating them a second time.
template <bool (*Detect)(const MotionArgs&)>
PyObject* motion_entry(const Signature& sig, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return run_entry<MotionArgs>(sig, args, nargsf, kwnames, [&sig](const MotionArgs& a) {
        const bool moved = traced(sig, [&] { return Detect(a); });
        return Ref::borrow(moved ? Py_True : Py_False);
    });
}

}  // namespace

bool check_motion_gray(const MotionArgs& a) {
    return traced(sig_check_motion_gray, [&] { return validated<gray_detect>(a, 2); });
}

bool check_motion_rgb(const MotionArgs& a) {
    return traced(sig_check_motion_rgb, [&] { return validated<rgb_detect>(a, 3); });
}

PyObject* py_check_motion_gray(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return motion_entry<gray_detect>(sig_check_motion_gray, args, nargsf, kwnames);
}

PyObject* py_check_motion_rgb(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return motion_entry<rgb_detect>(sig_check_motion_rgb, args, nargsf, kwnames);
}

}  // namespace quarrin
