// What happens to each frame read, whichever driver feeds the frames:
//   FrameSink   where kept frames go: straight into the Segment (DirectSink), or to the writer
//               stage of the pipeline, which hands them to a DirectSink of its own thread;
//   FrameRules  ROI check, next segment, duration, crop, gate, overlay, write, progress, preview.
#pragma once

#include "recording/gate.hpp"
#include "recording/overlay.hpp"
#include "recording/segment.hpp"

namespace quarrin {

class FrameSink {
public:
    virtual ~FrameSink() = default;
    virtual void open_segment(PyObject* name) = 0;
    virtual void write(Ref roi, long long inframe, long long outframe, Ref now, Ref stamp) = 0;
};

// Kept frames go straight into the one open segment.
class DirectSink final : public FrameSink {
public:
    explicit DirectSink(Segment& segment) : segment_(segment) {}
    void open_segment(PyObject* name) override { segment_.open(name); }
    void write(Ref roi, long long inframe, long long outframe, Ref now, Ref stamp) override {
        segment_.write(roi.get(), inframe, outframe, now.get(), std::move(stamp));
    }

private:
    Segment& segment_;
};

class FrameRules {
public:
    FrameRules(const RecordArgs& a, const Mode& mode, Console& console, PyObject* start, FrameSink& sink);
    enum class Next { Frame, Stop };
    Next take(PyObject* frame, PyObject* now, Stopped& why);
    long long frames_read() const noexcept { return frames_read_; }
    long long frames_saved() const noexcept { return frames_saved_; }
    void redirect(FrameSink& sink) noexcept { sink_ = &sink; }

private:
    void start_segment(PyObject* now);
    void open_segment();
    void save(PyObject* roi, long long inframe, PyObject* now);
    void report_progress();

    const CaptureArgs& a_;
    const Mode& mode_;
    Console& console_;
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
    long long outframe_ = 0;  // next output index + 1 in the segment; 0: the next frame starts one
    bool unopened_ = false;   // the segment has started, and its files wait for its first frame
};

}  // namespace quarrin
