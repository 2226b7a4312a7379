// Motion checks: blur the new frame, difference it against the caller's reference, threshold,
// dilate, find the outer contours and count motion when one encloses more than min_area.
// All pixel work is done by cv2; this code sequences the calls and maintains the reference.
#include "motion.hpp"

#include "snapwell.hpp"
#include "snapwell_args.hpp"

namespace quarrin {

namespace {

const Name n_cv2("cv2"), n_caputil("caputil"), n_CV2_MAJOR("CV2_MAJOR");
const Name n_GaussianBlur("GaussianBlur"), n_absdiff("absdiff"), n_threshold_fn("threshold"),
    n_THRESH_BINARY("THRESH_BINARY"), n_dilate("dilate"), n_iterations("iterations"),
    n_findContours("findContours"), n_RETR_EXTERNAL("RETR_EXTERNAL"), n_CHAIN_APPROX_SIMPLE("CHAIN_APPROX_SIMPLE"),
    n_contourArea("contourArea"), n_namedWindow("namedWindow"), n_WINDOW_NORMAL("WINDOW_NORMAL"),
    n_applyColorMap("applyColorMap"), n_COLORMAP_JET("COLORMAP_JET"), n_drawContours("drawContours"),
    n_imshow("imshow"), n_cvtColor("cvtColor"), n_COLOR_BGR2GRAY("COLOR_BGR2GRAY");
const Name n_absdiff_window("DEBUG - absdiff between frames"), n_threshold_window("DEBUG - thresholded absdiff");

// cv2.<name>, with cv2 looked up as a module global at this use.
Ref cv2_attr(PyObject* name) {
    Ref cv2 = global(n_cv2);
    return getattr(cv2.get(), name);
}

// Python equality of obj with a small int, as `obj == value` would decide it.
bool equals_int(PyObject* obj, long value) {
    if (PyLong_Check(obj)) {
        int overflow = 0;
        const long v = PyLong_AsLongAndOverflow(obj, &overflow);
        if (v == -1 && PyErr_Occurred()) throw PyError{};
        return !overflow && v == value;
    }
    if (PyFloat_Check(obj)) return PyFloat_AS_DOUBLE(obj) == double(value);
    Ref other = py_int(value);
    Ref result = Ref::check(PyObject_RichCompare(obj, other.get(), Py_EQ));
    return truth(result.get());
}

Ref caputil_major() {
    Ref caputil = global(n_caputil);
    return getattr(caputil.get(), n_CV2_MAJOR);
}

// The contour collection out of cv2.findContours' result, by the layout caputil reports.
Ref pick_contours(PyObject* found) {
    if (equals_int(caputil_major().get(), 3)) {
        Ref items[3];
        unpack(found, items, 3);
        return std::move(items[1]);
    }
    if (equals_int(caputil_major().get(), 4)) {
        Ref items[2];
        unpack(found, items, 2);
        return std::move(items[0]);
    }
    return Ref::borrow(Py_None);
}

PyObject* dilate_kwnames() {
    static PyObject* names = nullptr;  // ("iterations",), kept for the life of the process
    if (!names) names = tuple_of(Ref::borrow(n_iterations.get())).release();
    return names;
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

// The grayscale check on arrays already validated (and held) by the caller.
bool gray_detect(PyObject* gray_cur, PyObject* blurred_prev, PyObject* blurred_cur, int32_t threshold,
                 int32_t min_area, int32_t kernel_width, bool show_diff) {
    {
        Ref ksize = tuple_of(py_int(kernel_width), py_int(kernel_width));
        Ref zero = py_int(0);
        Ref blurred = call(cv2_attr(n_GaussianBlur).get(), {gray_cur, ksize.get(), zero.get()});
        if (PyObject_SetItem(blurred_cur, state.full_slice2, blurred.get()) < 0) throw PyError{};
    }

    Ref diff = call(cv2_attr(n_absdiff).get(), {blurred_cur, blurred_prev});
    require_ndarray_or_none(diff.get());
    {
        BufferView diff_view;  // validation only; nothing reads the view
        validate_array(diff.get(), Elem::UChar, 2, diff_view);
    }

    Ref mask;
    {
        Ref thresh = py_int(threshold);
        Ref maxval = py_int(255);
        Ref binary = cv2_attr(n_THRESH_BINARY);
        Ref result = call(cv2_attr(n_threshold_fn).get(), {diff.get(), thresh.get(), maxval.get(), binary.get()});
        Ref items[2];
        unpack(result.get(), items, 2);
        mask = std::move(items[1]);
    }
    // Only the debug views need the difference image again. Dropping it now, before the dilation
    // allocates, keeps large frames from paging in fresh heap memory on every call.
    if (!show_diff) diff = Ref();
    {
        Ref iterations = py_int(2);
        mask = call(cv2_attr(n_dilate).get(), {mask.get(), Py_None, iterations.get()}, dilate_kwnames());
    }

    Ref contours;
    {
        Ref mode = cv2_attr(n_RETR_EXTERNAL);
        Ref method = cv2_attr(n_CHAIN_APPROX_SIMPLE);
        Ref found = call(cv2_attr(n_findContours).get(), {mask.get(), mode.get(), method.get()});
        contours = pick_contours(found.get());
    }

    Ref retained = Ref::check(PyList_New(0));
    {
        Ref limit = py_int(min_area);
        Ref it = Ref::check(PyObject_GetIter(contours.get()));
        while (Ref c = Ref::steal(PyIter_Next(it.get()))) {
            Ref area = call(cv2_attr(n_contourArea).get(), {c.get()});
            Ref above = Ref::check(PyObject_RichCompare(area.get(), limit.get(), Py_GT));
            if (truth(above.get()) && PyList_Append(retained.get(), c.get()) < 0) throw PyError{};
        }
        if (PyErr_Occurred()) throw PyError{};
    }

    if (show_diff) show_debug_views(diff.get(), mask.get(), contours.get());

    const bool motion = PyList_GET_SIZE(retained.get()) > 0;
    if (motion && PyObject_SetItem(blurred_prev, state.full_slice2, blurred_cur) < 0) throw PyError{};
    return motion;
}

bool gray_body(PyObject* gray_cur, PyObject* blurred_prev, PyObject* blurred_cur, int32_t threshold,
               int32_t min_area, int32_t kernel_width, bool show_diff) {
    BufferView views[3];
    validate_array(gray_cur, Elem::UChar, 2, views[0]);
    validate_array(blurred_prev, Elem::UChar, 2, views[1]);
    validate_array(blurred_cur, Elem::UChar, 2, views[2]);
    return gray_detect(gray_cur, blurred_prev, blurred_cur, threshold, min_area, kernel_width, show_diff);
}

// The colour check on arrays already validated by the caller: convert, then the grayscale check
// through its direct entry.
bool rgb_detect(PyObject* current, PyObject* blurred_prev, PyObject* blurred_cur, int32_t threshold,
                int32_t min_area, int32_t kernel_width, bool show_diff) {
    Ref code = cv2_attr(n_COLOR_BGR2GRAY);
    Ref gray = call(cv2_attr(n_cvtColor).get(), {current, code.get()});
    require_ndarray_or_none(gray.get());
    BufferView gray_view;
    validate_array(gray.get(), Elem::UChar, 2, gray_view);

    const int r = check_motion_gray(gray.get(), blurred_prev, blurred_cur, threshold, min_area, kernel_width, show_diff);
    if (r < 0) throw PyError{};
    return r != 0;
}

bool rgb_body(PyObject* current, PyObject* blurred_prev, PyObject* blurred_cur, int32_t threshold,
              int32_t min_area, int32_t kernel_width, bool show_diff) {
    BufferView views[3];
    validate_array(current, Elem::UChar, 3, views[0]);
    validate_array(blurred_prev, Elem::UChar, 2, views[1]);
    validate_array(blurred_cur, Elem::UChar, 2, views[2]);
    return rgb_detect(current, blurred_prev, blurred_cur, threshold, min_area, kernel_width, show_diff);
}

using Body = bool (*)(PyObject*, PyObject*, PyObject*, int32_t, int32_t, int32_t, bool);

// Runs a check at a boundary: 1, 0, or -1 with the error set and the check's traceback entry added.
int run_check(Body body, const Signature& sig, PyObject* frame, PyObject* blurred_prev, PyObject* blurred_cur,
              int32_t threshold, int32_t min_area, int32_t kernel_width, bool show_diff) noexcept {
    const int r = boundary(
        [&] { return int(body(frame, blurred_prev, blurred_cur, threshold, min_area, kernel_width, show_diff)); }, -1);
    if (r < 0) add_traceback(sig.qualname, sig.firstlineno);
    return r;
}

}  // namespace

int check_motion_gray(PyObject* gray_cur, PyObject* blurred_prev, PyObject* blurred_cur, int32_t threshold,
                      int32_t min_area, int32_t kernel_width, bool show_diff) noexcept {
    return run_check(gray_body, sig_check_motion_gray, gray_cur, blurred_prev, blurred_cur, threshold, min_area,
                     kernel_width, show_diff);
}

int check_motion_rgb(PyObject* current, PyObject* blurred_prev, PyObject* blurred_cur, int32_t threshold,
                     int32_t min_area, int32_t kernel_width, bool show_diff) noexcept {
    return run_check(rgb_body, sig_check_motion_rgb, current, blurred_prev, blurred_cur, threshold, min_area,
                     kernel_width, show_diff);
}

namespace {

// The Python entries: the argument layer has validated the arrays and holds their views for the
// call, so the body runs without validating them a second time.
template <Body Detect>
PyObject* motion_entry(const Signature& sig, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return run_entry(sig, args, nargsf, kwnames, [&sig](const Arg* a) -> Ref {
        const int r = run_check(Detect, sig, a[0].obj, a[1].obj, a[2].obj, a[3].i, a[4].i, a[5].i, a[6].flag);
        if (r < 0) throw PyError{};
        return Ref::borrow(r ? Py_True : Py_False);
    });
}

}  // namespace

PyObject* py_check_motion_gray(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return motion_entry<gray_detect>(sig_check_motion_gray, args, nargsf, kwnames);
}

PyObject* py_check_motion_rgb(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return motion_entry<rgb_detect>(sig_check_motion_rgb, args, nargsf, kwnames);
}

}  // namespace quarrin
