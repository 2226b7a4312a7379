// Motion events: which frames a motion recording keeps when it thinks in events.
//
// An event starts at a frame with motion and keeps the frames of the `before` seconds ahead of it
// (those not written already); it goes on while motion comes back within `after` seconds of the
// last motion, and ends when `after` runs out. Until its motion has lasted `min_event` seconds (and,
// with a watcher, until the watcher confirms it: an object seen, a zone entered) it is only a
// candidate: its frames are held back, and dropped with it if it ends sooner. Frames are
// written in input order, each at most once; a segment's reference frame is written as the
// engine's rules have it, and neither starts nor extends an event.
#pragma once

#include "recording/console.hpp"
#include "recording/gate.hpp"
#include "recording/settings.hpp"

#include <deque>
#include <vector>

namespace quarrin {

// One event, as reported. Numbered with its first frame written.
struct Event {
    long long number = 0;
    Ref start, end;          // time of its first and last written frame (datetime)
    double seconds = 0;      // end - start
    long long first_frame = 0, last_frame = 0, frames = 0;
    double peak_area = 0;    // the largest moving area seen, in pixels of the region
    Ref file;                // the video its first frame went to (None: nothing written, a scan)
    Ref peak_frame;          // with snapshots, until it is told: the frame of its peak area
    Box peak_box;            // and the box around that frame's motion
    Ref findings;            // the watcher's, when there is one
};

// A frame the rules may still write: its crop, input number, time, and seconds since the start.
struct Held {
    Ref roi;
    long long inframe = 0;
    Ref now;
    double t = 0;
    Box box;          // around its motion; empty without
    Ref payload;      // for the writer (null: none)
    bool key = true;  // a run of written frames may start here
};

// Writes one frame now, in order; returns the video it went to (borrowed; None when there is none).
class FrameWriter {
public:
    virtual ~FrameWriter() = default;
    virtual PyObject* write_frame(const Held& frame) = 0;
    // The event whose frames were being written has ended.
    virtual void event_ended() {}
};

class EventRules {
public:
    EventRules(const RecordArgs& a, Console& console);
    // Takes the gate's verdict on the next frame read; writes what is to be written through `out`.
    // `image` is the frame's region (its Held may go without, in a scan), for the event's peak.
    void take(Held frame, const Verdict& v, FrameWriter& out, PyObject* image);
    // The recording has ended (or its segment: a signal lost, a new frame size): an event under way
    // ends with its last written frame; a candidate the watcher confirms now is written first.
    void finish(FrameWriter& out);
    std::vector<Event> take_events() noexcept { return std::move(events_); }

private:
    enum class State { Idle, Candidate, Active };
    void hold(Held frame);
    void trim_before(double now_t);
    bool can_start(const Held& frame) const noexcept { return frame.key || frame.inframe == next_written_; }
    void drop_unstartable();
    void begin(const Verdict& v, double t, PyObject* image);
    void note_peak(const Verdict& v, PyObject* image);
    void write(const Held& frame, FrameWriter& out);
    void end_event();
    void note_lighting(const Held& frame, const Verdict& v);
    bool long_enough() const noexcept;
    // The watcher's part (each a no-op, or true, without one).
    void look(const Held& frame, const Verdict& v, PyObject* image);
    bool confirmed();
    void activate(FrameWriter& out);
    void drop_candidate();

    const RecordArgs& a_;
    Console& console_;
    State state_ = State::Idle;
    std::deque<Held> held_;        // frames not written, oldest first
    double first_motion_ = 0, last_motion_ = 0;
    Event current_;
    long long numbered_ = 0;
    long long next_written_ = -1;  // the frame after the last one written: its run goes on there
    bool lighting_run_ = false;
    std::vector<Event> events_;
};

}  // namespace quarrin
