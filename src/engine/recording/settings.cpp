// Early checks of a recording's arguments (see settings.hpp).
#include "recording/settings.hpp"

#include "motion/motion.hpp"

#include <cmath>
#include <cstdio>

namespace quarrin {

namespace {

// The values a number of the front end's own takes.
struct Range {
    const char* name;
    double value;
    double low, high;
    bool above_low = false;  // low itself is refused
    bool zero = false;       // 0 is taken too (off), below low
};

void require_within(const Range& r) {
    const double v = r.value;
    const bool inside = std::isfinite(v) && (r.above_low ? v > r.low : v >= r.low) && v <= r.high;
    if (inside || (r.zero && v == 0)) return;
    char message[240];
    const char* zero = r.zero ? "0, or " : "";
    if (r.above_low)
        std::snprintf(message, sizeof message, "%s must be %sabove %g and at most %g (got %.17g)", r.name, zero, r.low,
                      r.high, v);
    else
        std::snprintf(message, sizeof message, "%s must be %sfrom %g to %g (got %.17g)", r.name, zero, r.low, r.high, v);
    raise(PyExc_ValueError, message);
}

// An overlay colour must be an array of at least three elements.
void require_colour(PyObject* arr, const char* name) {
    if (arr == Py_None)
        raise_format(PyExc_ValueError, "%s must be an array of three colour values when timestamp is on, not None",
                     name);
    const Py_ssize_t len = PyObject_Size(arr);
    require(len);
    if (len < 3)
        raise_format(PyExc_ValueError,
                     "%s must hold at least three colour values when timestamp is on (it holds %zd)", name, len);
}

}  // namespace

void check_capture_arguments(const CaptureArgs& a) {
    if (a.roi_x < 0 || a.roi_y < 0)
        raise_format(PyExc_ValueError, "roi_x and roi_y must not be negative (got %d, %d)", a.roi_x, a.roi_y);
    if (a.roi_w < 1 || a.roi_h < 1)
        raise_format(PyExc_ValueError, "roi_w and roi_h must be at least 1 (got %d, %d)", a.roi_w, a.roi_h);
    if (a.roi_w < kMinRoiWidth)
        raise_format(PyExc_ValueError,
                     "roi_w must be at least %d (got %d): the video encoder corrupts memory on narrower frames",
                     int(kMinRoiWidth), a.roi_w);
    if (a.roi_h < kMinRoiHeight)
        raise_format(PyExc_ValueError,
                     "roi_h must be at least %d (got %d): the video encoder corrupts memory on frames one row high",
                     int(kMinRoiHeight), a.roi_h);
    if (a.motion_based) require_kernel_width(a.kernel_width);
    if (a.timestamp) {
        require_colour(a.tb, "tb");
        require_colour(a.tc, "tc");
    }
}

void check_record_arguments(const RecordArgs& a) {
    check_capture_arguments(a.capture);
    if ((a.events || a.scan) && !a.capture.motion_based) raise(PyExc_ValueError, "events need motion_based");
    if (a.hold_frames < 0) raise(PyExc_ValueError, "hold_frames must be 0 or more");
    // The ranges of the option table (quarrin.options.OPTIONS): the front end never passes a value
    // outside them, and vcapture leaves these at their defaults. tests/test_args.py holds each
    // bound against the table.
    const Range ranges[] = {
        {"before", a.before, 0, 3600},
        {"after", a.after, 0, 3600},
        {"min_event", a.min_event, 0, 3600},
        {"max_changed", a.max_changed, 0, 1, true},
        {"detect_width", double(a.detect_width), 16, 2147483647, false, true},
        {"open_timeout", a.open_timeout, 0.001, 3600},
        {"reconnect", a.reconnect, 0, 1e7},
        {"segment_seconds", a.segment_seconds, 0, 1e7},
    };
    for (const Range& r : ranges) require_within(r);
    if (a.live && a.reader == Py_None) raise(PyExc_ValueError, "a live source is read through a reader object");
}

}  // namespace quarrin
