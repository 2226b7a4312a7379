// The source of a recording: a camera, or a video file, and the time of each frame read from it.
#pragma once

#include "recording/blocking.hpp"
#include "recording/console.hpp"
#include "recording/settings.hpp"

#include <functional>

namespace quarrin {

class Source {
public:
    enum class Opened { Yes, RoiTooLarge, FileNotOpen };

    explicit Source(Console& console) : console_(console) {}
    using Tick = BlockingCalls::Tick;
    // A live source when the front end says so (opened on a thread of its own, Ctrl-C and SIGTERM
    // acted on meanwhile); else a camera when input_ converts to an int, and the file path on any
    // ValueError of that path.
    Opened open(const RecordArgs& a);
    // The next frame, or None at the end (live: the signal is lost). A live source is read on a
    // thread of its own, tick() run while it waits (see BlockingCalls): null when tick() gave up.
    Ref read(const Tick& tick);
    Ref frame_time(long long index);     // camera and live source: now(); file: start + index / rate
    PyObject* start() const noexcept { return start_.get(); }
    PyObject* writer_fps() const noexcept { return fps_obj_.get(); }  // int for a camera, the file's rate
    bool is_camera() const noexcept { return cam_ >= 0; }
    bool is_live() const noexcept { return live_ != nullptr; }
    void close();                        // cap.release(), unless a read was abandoned with it

    // A lost live source, opened again until a frame comes: tries at once, then after 1, 2, 4, ...
    // up to 30 s, for at most `budget` seconds in all (each open's timeout, and each wait, cut to
    // what is left). `tick()` runs at least every 50 ms while it waits (the interpreter lock
    // released in between); it may raise, or return false to give up. Returns the first frame
    // read, or None.
    Ref regain(double budget, const Tick& tick);

private:
    Opened open_camera(const CaptureArgs& a);
    Opened open_file(const CaptureArgs& a);
    Opened open_live(const RecordArgs& a);
    Ref live_capture(double open_timeout, const Tick& tick);  // null: tick() gave up
    int32_t camera_property(PyObject* prop_name);

    Console& console_;
    const RecordArgs* live_ = nullptr;  // the arguments of a live source
    int32_t cam_ = -1;
    double fps_ = 0.0;  // divisor of file timestamps
    Ref fps_obj_;
    Ref start_;
    Ref cap_;
    Ref zero_, delta_kwnames_;  // timedelta(days=0, seconds=...) of file frame times
    BlockingCalls calls_;       // a live source's open and read
};

// Seconds on a steady clock.
double steady_seconds();

// True when the process runs on Windows (sys.platform, looked up at this use).
bool is_win32();

}  // namespace quarrin
