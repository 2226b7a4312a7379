// What happens to each frame read, whichever driver feeds the frames:
//   FrameSink   where kept frames go: straight into the Segment (DirectSink), nowhere (a scan),
//               or to the writer stage of the pipeline, which hands them to a DirectSink of its
//               own thread;
//   FrameRules  ROI check, segment start, duration, crop, gate (or events), overlay, write,
//               progress, preview.
#pragma once

#include "recording/events.hpp"
#include "recording/gate.hpp"
#include "recording/overlay.hpp"
#include "recording/segment.hpp"

#include <optional>

namespace quarrin {

class FrameSink {
public:
    virtual ~FrameSink() = default;
    // Opens segment `name` for frames of `size` (width, height).
    virtual void open_segment(PyObject* name, PyObject* size) = 0;
    // `payload` (null: none) is what the reader handed with the frame, for the writer.
    virtual void write(Ref roi, long long inframe, long long outframe, Ref now, Ref stamp, Ref payload) = 0;
    virtual void close_segment() = 0;
};

// Kept frames go straight into the one open segment.
class DirectSink final : public FrameSink {
public:
    explicit DirectSink(Segment& segment) : segment_(segment) {}
    void open_segment(PyObject* name, PyObject* size) override { segment_.open(name, size); }
    void close_segment() override { segment_.finish(); }
    void write(Ref roi, long long inframe, long long outframe, Ref now, Ref stamp, Ref payload) override {
        segment_.write(roi.get(), inframe, outframe, now.get(), std::move(stamp), payload.get());
    }

private:
    Segment& segment_;
};

class FrameRules final : private FrameWriter {
public:
    FrameRules(const RecordArgs& a, const Mode& mode, Console& console, PyObject* start, FrameSink& sink);
    enum class Next { Frame, Stop };
    // `payload` (null: none) goes with the frame to the writer; a segment starts only at a frame
    // that is `key` (a copied stream's keyframe), the first one at or after its due time.
    Next take(PyObject* frame, PyObject* now, PyObject* payload, bool key, Stopped& why);
    // After the last frame: an event under way ends.
    void finish();
    // A live source's signal is lost (at `when`): told, then the segment is finished and an event ends.
    void lost(PyObject* when);
    // Frames flow again (told): the next frame starts a new segment, with a new reference.
    void back(PyObject* when);
    // The (lost, back) times of every loss; back is None for a loss that did not end.
    std::vector<std::pair<Ref, Ref>> take_gaps() noexcept { return std::move(gaps_); }
    // True when the duration is over at `now` (checked while a lost signal is awaited).
    bool expired(PyObject* now);
    long long frames_read() const noexcept { return frames_read_; }
    long long frames_saved() const noexcept { return frames_saved_; }
    void redirect(FrameSink& sink) noexcept { sink_ = &sink; }
    void redirect_back() noexcept { sink_ = own_sink_; }  // to the sink it was made with
    // The name of the last segment started (claimed, with Claim::Create); null before the first.
    PyObject* segment_name() const noexcept { return segment_name_.get(); }
    std::vector<Event> take_events() noexcept { return events_ ? events_->take_events() : std::vector<Event>{}; }
    // A segment the rules named and the sink never opened (a writer stage that stopped first).
    void give_back(PyObject* name) { namer_.give_back(name); }

private:
    void start_segment(PyObject* now, double t);
    void resize(int32_t frame_w, int32_t frame_h);
    void set_region(int32_t x, int32_t y, int32_t w, int32_t h);
    void open_files(PyObject* when);
    void roll_over();
    PyObject* write_frame(const Held& frame) override;
    void event_ended() override;
    void draw_box(PyObject* roi, const Box& b);
    void report_progress();

    const CaptureArgs& a_;
    const Mode& mode_;
    Console& console_;
    PyObject* start_;
    PyObject* progress_;
    FrameSink* sink_;
    FrameSink* own_sink_;
    bool scan_;
    SegmentNamer namer_;
    Gate gate_;
    std::optional<EventRules> events_;
    Overlay overlay_;
    Preview preview_;
    Ref crop_index_;
    Ref size_;                    // (w, h) of the region, the size each segment opens at
    Ref segment_name_;
    long long right_, bottom_;
    int32_t frame_w_ = -1, frame_h_ = -1;  // of the last frame taken
    long long frames_read_ = 0;
    long long frames_saved_ = 0;
    long long outframe_ = 0;      // frames written into the current segment
    bool need_restart_ = true;    // the next frame read starts a segment: a new reference
    bool need_files_ = true;      // the next frame written opens the segment's files
    bool wrote_current_ = false;  // the frame being taken has been written
    bool closes_early_;           // a full segment is finished at once, not when the next opens
    bool keyed_ = false;          // frames come with payloads: segments start at keyframes
    bool full_ = false;           // the segment holds its frames: the next keyframe starts another
    double segment_seconds_;
    double segment_start_ = 0;    // seconds since the start, at the segment's first frame
    bool boxes_;                  // draw the box around each written frame's motion
    bool split_events_;           // a segment per event
    PyObject* a_on_resize_;
    PyObject* on_signal_;
    std::vector<std::pair<Ref, Ref>> gaps_;
};

}  // namespace quarrin
