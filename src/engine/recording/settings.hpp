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
    PyObject* fmt = nullptr;     // fourcc text; the front end's entry has none (nullptr): its own
                                 // writer, used without a video_writer object, writes MJPG
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
    PyObject* video_writer = Py_None;  // video_writer.open(name, fps, (w, h)), .write(frame, time),
                                       // .release(); None: cv2.VideoWriter with fmt
    // stamps_writer.open(csv_name) for each segment (the CSV already claimed: it writes the
    // header), .write(inframe, outframe, timestamp) for each frame's row (flushed to the OS, as the
    // frame is written), .close() as the segment ends. None: the recorder writes the CSV itself.
    PyObject* stamps_writer = Py_None;
    // Motion events (with motion_based): runs of kept frames with context before and after them.
    bool events = false;           // gate by events and report them; off: every moving frame is kept
    double before = 0.0;           // seconds of frames kept before an event's first motion
    double after = 0.0;            // seconds kept after its last motion; motion within extends it
    double min_event = 0.0;        // an event whose motion lasts less is dropped
    PyObject* mask = Py_None;      // uint8 array of the region's size: change where it is 0 never counts
    double max_changed = 1.0;      // a frame with a larger share changed is a lighting change
    int32_t detect_width = 0;      // check motion on frames scaled down to this width; 0: full size
    int32_t hold_frames = 0;       // most frames held back for before / min_event; 0: by time only
    // on_event_start(event) once an event's first frame is written (an Event whose end, seconds,
    // last_frame and frames are None); on_event(event) as each event ends (an Event). Both on the
    // thread of the frame rules (the caller's), as on_signal; on_segment on the thread that closes
    // the segment: the writer stage's in the pipelined driver. Each call blocks that thread (a
    // front end queues what it is told), and what it raises ends the recording.
    PyObject* on_event_start = Py_None;
    PyObject* on_event = Py_None;
    bool scan = false;             // find the events only: no video, no CSV
    // The source as an object: reader.open(timeout) -> opened (timeout: the seconds an open may
    // take), reader.read() -> (frame, time), or None at the end (a live source: its signal is
    // lost), reader.release(); after an open its `start` (datetime, the recording's time zero) and
    // `fps` (the rate the video declares). None: input_ is a camera index or a file path, opened
    // through cv2.VideoCapture.
    PyObject* reader = Py_None;
    // A live source (a reader's, which must be given): read on a thread of its own, and a signal
    // that is lost is waited for.
    bool live = false;
    double open_timeout = 10.0;    // seconds an open may take (a reopen: at most what is left)
    double reconnect = 0.0;        // seconds to try to get a lost signal back; 0: end at the loss
    PyObject* notify = Py_None;    // notify(line) for what the operator must see (a signal lost or
                                   // back); None: print it
    PyObject* on_signal = Py_None; // on_signal(kind, time): "lost" or "back", and when
    double segment_seconds = 0.0;  // a new segment every so many seconds of recording time
    PyObject* on_segment = Py_None;  // on_segment(written) once a segment's files are closed (a Written)
    PyObject* namer = Py_None;     // namer.claim(when) -> the name of the next segment, whose first
                                   // frame is timed `when`, its files created;
                                   // namer.give_back(name) for one never opened. None: the
                                   // recorder names and claims segments itself
    // on_resize(width, height) when a live source's frames change size (a camera back at another
    // size): returns the region (x, y, w, h) to keep from then on, or raises to stop. None: the
    // region stays (a frame it does not fit ends the recording, Stopped::Roi).
    PyObject* on_resize = Py_None;
    bool boxes = false;            // draw the box around a written frame's motion (before the timestamp)
    bool snapshots = false;        // an ended event carries its peak frame (the written frame with its
                                   // largest moving area) and that frame's box, for its picture
    bool split_events = false;     // each event in a segment of its own; frames outside events, a
                                   // segment's reference frame included, are not written
    // What decides, beside the motion, whether an event is kept (objects seen in it, zones entered);
    // None: every event whose motion lasts min_event. On the frame rules' thread:
    // watcher.look(inframe, t, region, box) for each frame with motion of a candidate or an event
    // (t: seconds since the start; box (x, y, w, h) around its motion), watcher.confirmed() -> truth
    // while a candidate waits for it (a candidate is an event only once it says so), watcher.findings()
    // -> what the event has shown so far, as its first frame is written, and watcher.end(kept,
    // long_enough) -> the same, final, as a candidate or an event ends (kept false: it was dropped;
    // long_enough: its motion had lasted min_event). The findings go with the event told (`findings`).
    PyObject* watcher = Py_None;
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
    // vcapture leaves SIGTERM alone; the front end's entry runs a Python SIGTERM handler (a
    // service stop, `timeout`, `kill`) between two frames, as it does with Ctrl-C.
    enum class Sigterm { Leave, Defer } sigterm = Sigterm::Leave;
};

// The video writer's colour conversion writes past its buffer for frames narrower than this; and
// OpenCV 4's own MJPG encoder corrupts the heap on frames one row high (odd widths).
inline constexpr int32_t kMinRoiWidth = 8;
inline constexpr int32_t kMinRoiHeight = 2;

// Why a recording ended.
enum class Stopped { End, Duration, Key, Interrupt, Roi, Unopened, Lost };

// Early checks of the arguments, before anything is opened.
void check_capture_arguments(const CaptureArgs& a);
void check_record_arguments(const RecordArgs& a);

}  // namespace quarrin
