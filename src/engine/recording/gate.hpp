// Which frames are kept: motion against a reference pair, or an interval since the last kept one.
#pragma once

#include "recording/console.hpp"
#include "recording/settings.hpp"

namespace quarrin {

class Gate {
public:
    Gate(const CaptureArgs& a, Console& console);
    // A new segment starts a new reference pair and a new interval.
    void restart(PyObject* now, int32_t width, int32_t height);
    bool keep(PyObject* roi, PyObject* shape, PyObject* delta_s);
    void kept(PyObject* now) { last_ = Ref::borrow(now); }
    PyObject* last() const noexcept { return last_.get(); }

private:
    bool moved(PyObject* roi, PyObject* shape);
    const CaptureArgs& a_;
    Console& console_;
    Ref last_;  // time of the last kept frame, or of the segment's start
    Ref blurred_prev_, blurred_cur_;
    Ref interval_;
};

}  // namespace quarrin
