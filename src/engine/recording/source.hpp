// The source of a recording: a camera, or a video file, and the time of each frame read from it.
#pragma once

#include "recording/console.hpp"
#include "recording/settings.hpp"

namespace quarrin {

class Source {
public:
    enum class Opened { Yes, RoiTooLarge, FileNotOpen };

    explicit Source(Console& console) : console_(console) {}
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

    Console& console_;
    int32_t cam_ = -1;
    double fps_ = 0.0;  // divisor of file timestamps
    Ref fps_obj_;
    Ref start_;
    Ref cap_;
    Ref zero_, delta_kwnames_;  // timedelta(days=0, seconds=...) of file frame times
};

// True when the process runs on Windows (sys.platform, looked up at this use).
bool is_win32();

}  // namespace quarrin
