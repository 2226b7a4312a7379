// vcapture, one whole recording from a camera or a video file, and its companion entry for the
// front end (progress events, a stop reason, the pipelined driver). The unit declares both
// signatures next to their typed argument structs.
#pragma once

#include "args.hpp"

#include <cstdint>

namespace quarrin {

struct CaptureArgs {
    PyObject* input_ = nullptr;  // camera index (anything int() accepts) or a file path
    PyObject* output = nullptr;
    PyObject* fmt = nullptr;     // fourcc text
    int32_t fps = 0;             // camera request; below 0 means 30
    bool interactive = false;
    int32_t width = 0, height = 0;  // camera request
    int32_t roi_x = 0, roi_y = 0, roi_w = 0, roi_h = 0;
    double interval = 0.0;
    double duration = 0.0;
    int32_t max_frames = 0;
    bool motion_based = false;
    bool config = false;
    int32_t threshold = 0, min_area = 0, kernel_width = 0;
    bool timestamp = false;
    bool show_diff = false;
    PyObject* tb = nullptr;  // overlay box colour, B,G,R int32
    PyObject* tc = nullptr;  // overlay text colour
    int32_t tx = 0, ty = 0;
    double fs = 0.0;
};

// vcapture's arguments, then the front end's own.
struct RecordArgs {
    CaptureArgs capture;           // first, so that its fields keep their offsets
    PyObject* progress = Py_None;  // progress(frames_read, frames_saved, segment) after each frame
    bool pipeline = false;         // decode, gate and encode on three threads
};

extern const Signature sig_vcapture;
extern const Signature sig_record;

// Python entries (fast call with keywords).
PyObject* py_vcapture(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames);
PyObject* py_record(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames);

}  // namespace quarrin
