// What a recording is asked to do: vcapture's 26 arguments (CaptureArgs), the front end's own
// (RecordArgs), and how each entry wants the recording to behave (Mode). The entries bind their
// calls into these structs; the parts of a recording only read them.
#pragma once

#include "core/runtime.hpp"

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

// vcapture's arguments, then the front end's own. vcapture binds into this struct too (its
// fields come first, so their offsets hold) and leaves the rest at their defaults.
struct RecordArgs {
    CaptureArgs capture;
    PyObject* progress = Py_None;  // progress(frames_read, frames_saved, segment) after each frame
    bool pipeline = false;         // decode, gate and encode on three threads
    PyObject* log = Py_None;       // log(line) for each of the recorder's lines; None: print them
    PyObject* writer = Py_None;    // writer.open(name, fps, (w, h)), .write(frame, time), .release();
                                   // None: cv2.VideoWriter with fmt
};

// How an entry wants its recording to behave where vcapture's ways and the front end's differ.
struct Mode {
    // vcapture reports a missing path with a message and returns; the front end's entry raises it.
    enum class MissingPath { Report, Raise } missing_path = MissingPath::Report;
    // vcapture opens a segment on the first frame read for it; the front end's entry when the
    // first frame is to be written, so that no empty file is ever left.
    enum class Opening { OnFirstFrame, OnFirstWrite } opening = Opening::OnFirstFrame;
    // vcapture tests whether a name exists; the front end's entry claims the video and CSV names
    // by creating them exclusively, so two recordings into one output never share a file.
    enum class Claim { Test, Create } claim = Claim::Test;
    // vcapture lets a Ctrl-C raised by its clean-up steps reach the caller; the front end's entry
    // reports the recording as interrupted, with what it wrote, once its files are closed.
    enum class LateInterrupt { Raise, Stop } late_interrupt = LateInterrupt::Raise;
};

// Why a recording ended.
enum class Stopped { End, Duration, Key, Interrupt, Roi, Unopened };

// Early checks of the arguments, before anything is opened.
void check_capture_arguments(const CaptureArgs& a);

}  // namespace quarrin
