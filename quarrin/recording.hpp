// The parts of a recording, each owning its own state and its own clean-up:
//   Source       the capture (camera or file) and the time of each frame;
//   SegmentNamer the output names: the output itself or numbered ones, never an existing file;
//   Segment      one output video and its CSV: open, write a frame and its row, close;
//   Gate         which frames are kept: motion against a reference pair, or an interval;
//   Overlay      the timestamp burnt into a kept frame;
//   Preview      the window of the segment being written, and its stop keys;
//   FrameRules   what happens to each frame read, whichever driver feeds it frames;
//   SigintDeferral  Ctrl-C noted while a recording runs, raised between two frames;
//   CleanupChain runs clean-up steps whatever each of them does.
// Module globals (cv2, np, os, datetime, ...) are looked up by name at each use.
#pragma once

#include "capture.hpp"

#include <atomic>
#include <memory>

namespace quarrin {

// The CSV header's third column, and vcapture's parameter of the same name.
extern const Name n_timestamp;

// Why a recording ended.
enum class Stopped { End, Duration, Key, Interrupt, Roi, Unopened };

class Source {
public:
    enum class Opened { Yes, RoiTooLarge, FileNotOpen };

    // A camera when input_ converts to an int; the file path on any ValueError of that path.
    Opened open(const CaptureArgs& a);
    Ref read();                          // the next frame, or None at the end
    Ref frame_time(long long index);     // camera: now(); file: start + index / rate
    PyObject* start() const noexcept { return start_.get(); }
    PyObject* writer_fps() const noexcept { return fps_obj_.get(); }  // int for a camera, the file's rate
    bool is_camera() const noexcept { return cam_ >= 0; }
    void close();                        // cap.release()

private:
    Opened open_camera(const CaptureArgs& a);
    Opened open_file(const CaptureArgs& a);
    int32_t camera_property(PyObject* prop_name);

    int32_t cam_ = -1;
    double fps_ = 0.0;  // divisor of file timestamps
    Ref fps_obj_;
    Ref start_;
    Ref cap_;
    Ref zero_, delta_kwnames_;  // timedelta(days=0, seconds=...) of file frame times
};

class SegmentNamer {
public:
    SegmentNamer(PyObject* output, int32_t max_frames) : output_(output), numbered_(max_frames > 0) {}
    // The next name that does not exist yet; prints where the video and its timestamps go.
    Ref next();

private:
    void split_output();
    Ref numbered(long long number) const;
    PyObject* output_;
    bool numbered_;
    long long counter_ = 0;
    Ref root_, ext_;
};

class Segment {
public:
    // Opens the writer and the CSV of `name`, after releasing the previous writer and closing the
    // previous CSV. Raises RuntimeError when the writer does not open (the CSV holds its header).
    void open(PyObject* name, PyObject* fmt, PyObject* fps, int32_t width, int32_t height);
    // Writes the frame, then its row, flushed to the OS.
    void write(PyObject* roi, long long inframe, long long outframe, Ref timestamp);
    void close(class CleanupChain& chain) noexcept;

private:
    Ref writer_;
    Ref csv_file_;
    Ref csv_writer_;
    Ref name_;
};

class Gate {
public:
    explicit Gate(const CaptureArgs& a);
    // A new segment starts a new reference pair and a new interval.
    void restart(PyObject* now, int32_t width, int32_t height);
    bool keep(PyObject* roi, PyObject* shape, PyObject* delta_s);
    void kept(PyObject* now) { last_ = Ref::borrow(now); }
    PyObject* last() const noexcept { return last_.get(); }

private:
    bool moved(PyObject* roi, PyObject* shape);
    const CaptureArgs& a_;
    Ref last_;  // time of the last kept frame, or of the segment's start
    Ref blurred_prev_, blurred_cur_;
    Ref interval_;
};

class Overlay {
public:
    explicit Overlay(const CaptureArgs& a) : a_(a) {}
    void draw(PyObject* roi, PyObject* text);

private:
    const CaptureArgs& a_;
};

class Preview {
public:
    void open(PyObject* name);
    bool show(PyObject* roi);  // true: a stop key (q or Esc) was read

private:
    Ref name_;
};

// Where kept frames go: straight into the Segment, or to the writer stage of the pipeline.
class FrameSink {
public:
    virtual ~FrameSink() = default;
    virtual void open_segment(PyObject* name) = 0;
    virtual void write(Ref roi, long long inframe, long long outframe, Ref timestamp) = 0;
};

// One set of rules for every frame read: ROI check, next segment, duration, crop, gate, overlay,
// write, progress, preview.
class FrameRules {
public:
    FrameRules(const CaptureArgs& a, PyObject* start, PyObject* progress, FrameSink& sink);
    enum class Next { Frame, Stop };
    Next take(PyObject* frame, PyObject* now, Stopped& why);
    long long frames_read() const noexcept { return frames_read_; }
    long long frames_saved() const noexcept { return frames_saved_; }
    void redirect(FrameSink& sink) noexcept { sink_ = &sink; }

private:
    void next_segment(PyObject* now);
    void save(PyObject* roi, long long inframe, PyObject* now);
    void report_progress();

    const CaptureArgs& a_;
    PyObject* start_;
    PyObject* progress_;
    FrameSink* sink_;
    SegmentNamer namer_;
    Gate gate_;
    Overlay overlay_;
    Preview preview_;
    Ref crop_index_;
    Ref segment_name_;
    long long right_, bottom_;
    long long frames_read_ = 0;
    long long frames_saved_ = 0;
    long long outframe_ = 0;  // next output index + 1 in the segment; 0: the next frame opens one
};

class SigintDeferral {
public:
    SigintDeferral() = default;
    SigintDeferral(const SigintDeferral&) = delete;
    SigintDeferral& operator=(const SigintDeferral&) = delete;
    ~SigintDeferral() { end_quietly(); }

    void begin();
    void raise_noted();  // KeyboardInterrupt for a Ctrl-C this recording noted
    void end();
    void end_quietly() noexcept;

private:
    Ref module_;
    Ref previous_;
    std::shared_ptr<std::atomic<bool>> noted_;  // shared with the handler this recording installed
};

// Runs clean-up steps one after another whatever each does. The first step that raises replaces
// the exception in flight (which becomes its context); later clean-up errors are dropped.
class CleanupChain {
public:
    CleanupChain() noexcept : pending_(PendingError::fetch()) {}
    CleanupChain(const CleanupChain&) = delete;
    CleanupChain& operator=(const CleanupChain&) = delete;
    ~CleanupChain() { pending_.restore(); }

    template <typename F>
    void step(F&& body) noexcept {
        if (attempt(body)) return;
        PendingError raised = PendingError::fetch();
        if (replaced_) return;
        replaced_ = true;
        pending_.chain_into(std::move(raised));
    }

private:
    PendingError pending_;
    bool replaced_ = false;
};

// cv2.destroyAllWindows(), where a headless OpenCV build's "not implemented" error is no failure.
void destroy_all_windows();

// Early checks of the arguments, before anything is opened.
void check_capture_arguments(const CaptureArgs& a);

}  // namespace quarrin
