// Motion events (see events.hpp).
#include "recording/events.hpp"

#include "recording/names.hpp"
#include "recording/reports.hpp"

#include <algorithm>

namespace quarrin {
namespace {
// Frame times come from datetimes, to the microsecond: differences within this are equal.
constexpr double kSlack = 1e-6;
const Name n_look("look"), n_confirmed("confirmed"), n_findings("findings"), n_end("end");
}  // namespace

EventRules::EventRules(const RecordArgs& a, Console& console) : a_(a), console_(console) {}

// Frames kept in hand: the `before` seconds ahead of the newest one (for a candidate, from its
// first motion's before-time on), and never more than hold_frames.
// A run of written frames starts where it can (see can_start): at a copied stream's keyframe, or
// where the last run left off. Held frames ahead of such a frame are never written.
void EventRules::hold(Held frame) {
    held_.push_back(std::move(frame));
    if (a_.hold_frames > 0 && held_.size() > size_t(a_.hold_frames)) held_.pop_front();
    drop_unstartable();
}

void EventRules::drop_unstartable() {
    while (!held_.empty() && !can_start(held_.front())) held_.pop_front();
}

// The run starts at the first frame within `before`, or, when no run can start there, at the
// last frame ahead of it where one can.
void EventRules::trim_before(double now_t) {
    const double cut = now_t - a_.before - kSlack;
    size_t start = 0;
    for (size_t i = 0; i < held_.size(); ++i) {
        if (can_start(held_[i])) start = i;
        if (held_[i].t >= cut) break;
    }
    held_.erase(held_.begin(), held_.begin() + std::ptrdiff_t(start));
    drop_unstartable();
}

void EventRules::begin(const Verdict& v, double t, PyObject* image) {
    state_ = State::Candidate;
    first_motion_ = last_motion_ = t;
    current_ = Event{};
    note_peak(v, image);
}

// A frame with motion: the largest area so far makes it the event's peak (its picture's frame).
void EventRules::note_peak(const Verdict& v, PyObject* image) {
    const bool first = a_.snapshots && !current_.peak_frame;
    if (v.area <= current_.peak_area && !first) return;
    current_.peak_area = std::max(current_.peak_area, v.area);
    if (a_.snapshots) {
        current_.peak_frame = Ref::borrow(image);
        current_.peak_box = v.box;
    }
}

// An active event's frames are written here; its first one gives it its number, and it is told.
void EventRules::write(const Held& frame, FrameWriter& out) {
    PyObject* file = out.write_frame(frame);
    next_written_ = frame.inframe + 1;
    current_.end = Ref::borrow(frame.now.get());
    current_.last_frame = frame.inframe;
    if (current_.frames++ == 0) {
        current_.number = ++numbered_;
        current_.start = Ref::borrow(frame.now.get());
        current_.first_frame = frame.inframe;
        current_.file = Ref::borrow(file);
        if (a_.watcher != Py_None) current_.findings = call_method(a_.watcher, n_findings);
        if (a_.on_event_start != Py_None) call(a_.on_event_start, {event_object(current_, false).get()});
    }
}

void EventRules::end_event() {
    state_ = State::Idle;
    if (a_.watcher != Py_None) {
        Ref findings = call_method(a_.watcher, n_end, {current_.frames ? Py_True : Py_False, Py_True});
        current_.findings = std::move(findings);
    }
    if (current_.frames == 0) {
        current_ = Event{};  // its first write failed (a Ctrl-C ended the recording there): none
        return;
    }
    Ref span = Ref::check(PyNumber_Subtract(current_.end.get(), current_.start.get()));
    current_.seconds = to_double(call_method(span.get(), n_total_seconds).get());
    if (a_.on_event != Py_None) call(a_.on_event, {event_object(current_).get()});
    current_.peak_frame = Ref();  // held for the event's picture only: an ended event keeps none
    events_.push_back(std::move(current_));
    current_ = Event{};
}

// A run of lighting changes is told once, at its first frame.
void EventRules::note_lighting(const Held& frame, const Verdict& v) {
    if (v.lighting && !lighting_run_) {
        Ref stamp = call_method(frame.now.get(), n_isoformat);
        console_.line({Ref::check(PyUnicode_FromFormat("Lighting change at %S: %d%% of the region changed",
                                                        stamp.get(), int(v.changed * 100 + 0.5)))
                           .get()});
    }
    lighting_run_ = v.lighting;
}

bool EventRules::long_enough() const noexcept { return last_motion_ - first_motion_ >= a_.min_event - kSlack; }

// A frame with motion of a candidate or an event, for the watcher to look at (or not).
void EventRules::look(const Held& frame, const Verdict& v, PyObject* image) {
    if (a_.watcher == Py_None) return;
    const Box& b = v.box;
    Ref box = b.empty() ? Ref::borrow(Py_None) : tuple_of(py_int(b.x), py_int(b.y), py_int(b.w), py_int(b.h));
    call_method(a_.watcher, n_look, {py_int(frame.inframe).get(), py_float(frame.t).get(), image, box.get()});
}

bool EventRules::confirmed() {
    if (a_.watcher == Py_None) return true;
    return to_flag(call_method(a_.watcher, n_confirmed).get());
}

// The candidate is an event: its held frames are written.
void EventRules::activate(FrameWriter& out) {
    state_ = State::Active;
    while (!held_.empty()) {
        Held next = std::move(held_.front());
        held_.pop_front();
        write(next, out);
    }
}

// The candidate ends unconfirmed: not an event (the watcher is told, to count it).
void EventRules::drop_candidate() {
    state_ = State::Idle;
    const bool enough = long_enough();
    current_ = Event{};
    if (a_.watcher != Py_None) call_method(a_.watcher, n_end, {Py_False, enough ? Py_True : Py_False});
}

void EventRules::take(Held frame, const Verdict& v, FrameWriter& out, PyObject* image) {
    note_lighting(frame, v);
    // Split by events, a reference frame outside an event is one more frame without motion.
    if (v.reference && (state_ == State::Active || !a_.split_events)) {
        // Frames older than a written one can no longer be written in order: a candidate's are
        // lost with it.
        if (state_ == State::Candidate) drop_candidate();
        held_.clear();
        if (state_ == State::Active) {
            write(frame, out);
        } else {
            out.write_frame(frame);
            next_written_ = frame.inframe + 1;
            state_ = State::Idle;
        }
        return;
    }
    switch (state_) {
        case State::Idle:
            if (!v.motion) {
                // Copied frames are held for the keyframe a run must start at, even without `before`.
                if (a_.before > 0 || frame.payload) hold(std::move(frame));
                trim_before(held_.empty() ? 0 : held_.back().t);
                return;
            }
            begin(v, frame.t, image);
            look(frame, v, image);
            hold(std::move(frame));
            trim_before(first_motion_);
            break;
        case State::Candidate:
            if (v.motion) {
                last_motion_ = frame.t;
                note_peak(v, image);
                look(frame, v, image);
            }
            if (!v.motion && frame.t - last_motion_ > a_.after + kSlack) {
                // Its after-time is over. Long enough, it may still be confirmed by what the watcher
                // saw in its frames: then it is an event that ends here.
                if (a_.watcher != Py_None && long_enough() && confirmed()) {
                    activate(out);
                    end_event();
                    out.event_ended();
                    if (a_.before > 0 || frame.payload) hold(std::move(frame));
                    return;
                }
                // Not an event; its frames may still be the before-time of the next one.
                drop_candidate();
                const double t = frame.t;
                hold(std::move(frame));  // held_ may be left empty: nothing there a run can start at
                trim_before(t);
                return;
            }
            hold(std::move(frame));
            break;
        case State::Active:
            if (v.motion) {
                last_motion_ = frame.t;
                note_peak(v, image);
                look(frame, v, image);
            } else if (frame.t - last_motion_ > a_.after + kSlack) {
                end_event();
                out.event_ended();
                if (a_.before > 0 || frame.payload) hold(std::move(frame));
                return;
            }
            write(frame, out);
            return;
    }
    // A candidate becomes an event once its motion has lasted min_event (and the watcher confirms
    // it): its frames are written.
    if (long_enough() && confirmed()) activate(out);
}

void EventRules::finish(FrameWriter& out) {
    if (state_ == State::Candidate) {
        if (a_.watcher != Py_None && long_enough() && confirmed()) {
            activate(out);
        } else {
            drop_candidate();
        }
    }
    if (state_ == State::Active) end_event();
    state_ = State::Idle;
    held_.clear();
}

}  // namespace quarrin
