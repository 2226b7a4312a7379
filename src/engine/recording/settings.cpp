// Early checks of a recording's arguments (see settings.hpp).
#include "recording/settings.hpp"

#include "motion/motion.hpp"

namespace quarrin {

namespace {

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
    for (double seconds : {a.before, a.after, a.min_event}) {
        if (!(seconds >= 0 && seconds < 1e9)) raise(PyExc_ValueError, "before, after and min_event must be 0 or more");
    }
    if (!(a.max_changed > 0 && a.max_changed <= 1)) raise(PyExc_ValueError, "max_changed must be above 0, at most 1");
    if (a.detect_width < 0 || a.hold_frames < 0) raise(PyExc_ValueError, "detect_width and hold_frames must be 0 or more");
    for (double seconds : {a.open_timeout, a.reconnect, a.segment_seconds}) {
        if (!(seconds >= 0 && seconds < 1e9))
            raise(PyExc_ValueError, "open_timeout, reconnect and segment_seconds must be 0 or more");
    }
    if (a.live && a.reader == Py_None) raise(PyExc_ValueError, "a live source is read through a reader object");
}

}  // namespace quarrin
