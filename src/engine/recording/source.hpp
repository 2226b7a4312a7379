// The source of a recording, and the time of each frame read from it: a camera or a video file
// opened through cv2.VideoCapture (vcapture's way), or a reader object the caller chose (the front
// end's way: files, cameras and live sources alike).
#pragma once

#include "recording/blocking.hpp"
#include "recording/console.hpp"
#include "recording/settings.hpp"

#include <functional>

namespace quarrin {

class Source {
public:
    enum class Opened { Yes, RoiTooLarge, FileNotOpen };
    // A frame read, and its time. `image` None: the end (a live source: its signal is lost);
    // null: a wait that tick() gave up. A reader may hand a third item, `payload`, which goes with
    // the frame to writer.write(frame, time, payload); its `key` says whether a run of saved frames
    // may start at this frame (a copied stream's keyframe). Without one, every frame may.
    struct Frame {
        Ref image, time, payload;
        bool key = true;
    };

    explicit Source(Console& console) : console_(console) {}
    using Tick = BlockingCalls::Tick;
    // A reader object when the caller gave one (a live one opened on a thread of its own, Ctrl-C
    // and SIGTERM acted on meanwhile); else a camera when input_ converts to an int, and the file
    // path on any ValueError of that path.
    Opened open(const RecordArgs& a);
    // The next frame. A live source is read on a thread of its own, tick() run while it waits (see
    // BlockingCalls). cv2's frames are timed here: a camera's by now(), a file's frame i at
    // start + i / rate; a reader times its own.
    Frame read(const Tick& tick);
    PyObject* start() const noexcept { return start_.get(); }
    PyObject* writer_fps() const noexcept { return fps_obj_.get(); }  // int for a camera, the file's rate
    bool is_live() const noexcept { return live_ != nullptr; }
    void close();                        // release(), unless a call was abandoned with the source

    // A lost live source, opened again until a frame comes: tries at once, then after 1, 2, 4, ...
    // up to 30 s, for at most `budget` seconds in all (each open's timeout, and each wait, cut to
    // what is left). `tick()` runs at least every 50 ms while it waits (the interpreter lock
    // released in between); it may raise, or return false to give up. Returns the first frame
    // read, or one whose image is None.
    Frame regain(double budget, const Tick& tick);

private:
    Opened open_camera(const CaptureArgs& a);
    Opened open_file(const CaptureArgs& a);
    Opened open_reader(const RecordArgs& a);
    Ref open_call(double timeout, const Tick& tick);  // reader.open(timeout); null: tick() gave up
    Ref frame_time();
    int32_t camera_property(PyObject* prop_name);

    Console& console_;
    PyObject* reader_ = nullptr;        // the caller's reader object (borrowed from the arguments)
    const RecordArgs* live_ = nullptr;  // the arguments of a live source
    int32_t cam_ = -1;
    double fps_ = 0.0;  // divisor of file timestamps
    long long index_ = 0;  // frames read (cv2's), the next one's number
    Ref fps_obj_;
    Ref start_;
    Ref cap_;  // what to release: the capture, or the reader (null once a call abandoned it)
    Ref zero_, delta_kwnames_;  // timedelta(days=0, seconds=...) of file frame times
    BlockingCalls calls_;       // a live source's open and read
};

// Seconds on a steady clock.
double steady_seconds();

// True when the process runs on Windows (sys.platform, looked up at this use).
bool is_win32();

}  // namespace quarrin
