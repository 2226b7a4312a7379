// Which frames are kept: motion against a reference pair, or an interval since the last kept one.
// For events, the gate also tells the reference frame of a segment, lighting changes and how large
// the motion was (judge()).
#pragma once

#include "motion/detect.hpp"
#include "recording/console.hpp"
#include "recording/settings.hpp"

#include <optional>

namespace quarrin {

// What the gate says of one frame, for events.
struct Verdict {
    bool reference = false;  // the frame becomes a new segment's motion reference: kept, no event
    bool motion = false;     // something moved
    bool lighting = false;   // the whole region changed: a new reference, no motion
    double area = 0;         // the largest moving area, in pixels of the region
    double changed = 0;      // the share of the region that changed (with a lighting limit)
    Box box;                 // around the changed areas that count (with motion), in the region
};

class Gate {
public:
    Gate(const RecordArgs& a, Console& console);
    // A new segment starts a new reference pair and a new interval.
    void restart(PyObject* now);
    // Frames of another region size from now on (before the restart of a segment).
    void resize(int32_t width, int32_t height);
    bool keep(PyObject* roi, PyObject* shape, PyObject* delta_s);
    Verdict judge(PyObject* roi, PyObject* shape);
    void kept(PyObject* now) { last_ = Ref::borrow(now); }
    PyObject* last() const noexcept { return last_.get(); }

private:
    bool moved(PyObject* roi, Py_ssize_t ndim);
    Py_ssize_t ndim_of(PyObject* shape);

    const CaptureArgs& a_;
    Console& console_;
    int32_t width_, height_;            // of the region
    DetectOptions options_;
    std::optional<Detector> detector_;  // events only
    Ref last_;  // time of the last kept frame, or of the segment's start
    Ref blurred_prev_, blurred_cur_;
    Ref interval_;
    bool at_reference_ = false;  // the pair holds no frame yet
};

}  // namespace quarrin
