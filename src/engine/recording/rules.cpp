// The rules for each frame read (see rules.hpp).
#include "recording/rules.hpp"

#include "recording/names.hpp"

namespace quarrin {

FrameRules::FrameRules(const RecordArgs& a, const Mode& mode, Console& console, PyObject* start, FrameSink& sink)
    : a_(a.capture),
      mode_(mode),
      console_(console),
      start_(start),
      progress_(a.progress),
      sink_(&sink),
      own_sink_(&sink),
      scan_(a.scan),
      namer_(a.capture.output, a.capture.max_frames, mode.claim, a.namer, console),
      gate_(a, console),
      overlay_(a.capture),
      closes_early_(mode.opening == Mode::Opening::OnFirstWrite),
      segment_seconds_(a.segment_seconds),
      boxes_(a.boxes),
      split_events_(a.split_events && a.events),
      a_on_resize_(a.on_resize),
      on_signal_(a.on_signal) {
    if (a.events || a.scan) events_.emplace(a, console);
    set_region(a_.roi_x, a_.roi_y, a_.roi_w, a_.roi_h);
}

void FrameRules::set_region(int32_t x, int32_t y, int32_t w, int32_t h) {
    right_ = static_cast<long long>(x) + w;
    bottom_ = static_cast<long long>(y) + h;
    // The crop index [y:y+h, x:x+w].
    Ref rows = Ref::check(PySlice_New(py_int(y).get(), py_int(bottom_).get(), nullptr));
    Ref cols = Ref::check(PySlice_New(py_int(x).get(), py_int(right_).get(), nullptr));
    crop_index_ = tuple_of(std::move(rows), std::move(cols));
    size_ = tuple_of(py_int(w), py_int(h));
}

// A live source's frames changed size: what was recorded at the old size is finished, and the front
// end says which region to keep. The next frame starts a segment, at the region's size.
void FrameRules::resize(int32_t frame_w, int32_t frame_h) {
    if (!need_restart_) {
        if (events_) events_->finish(*this);
        roll_over();
    }
    Ref region = call(a_on_resize_, {py_int(frame_w).get(), py_int(frame_h).get()});
    Ref items[4];
    unpack(region.get(), items, 4, UnpackWording::Python);
    int32_t r[4];
    for (int i = 0; i < 4; ++i) r[i] = to_int32(items[i].get());
    if (r[0] < 0 || r[1] < 0 || r[2] < kMinRoiWidth || r[3] < kMinRoiHeight || static_cast<long long>(r[0]) + r[2] > frame_w ||
        static_cast<long long>(r[1]) + r[3] > frame_h)
        raise_format(PyExc_ValueError, "on_resize gave the region %d,%d,%d,%d, which does not fit %dx%d frames",
                     r[0], r[1], r[2], r[3], frame_w, frame_h);
    gate_.resize(r[2], r[3]);
    set_region(r[0], r[1], r[2], r[3]);
}

FrameRules::Next FrameRules::take(PyObject* frame, PyObject* now, PyObject* payload, bool key, Stopped& why) {
    Ref shape = getattr(frame, n_shape);
    const int32_t frame_w = to_int32(Ref::check(PySequence_GetItem(shape.get(), 1)).get());
    const int32_t frame_h = to_int32(Ref::check(PySequence_GetItem(shape.get(), 0)).get());
    const bool resized = frame_w_ >= 0 && (frame_w != frame_w_ || frame_h != frame_h_);
    frame_w_ = frame_w;
    frame_h_ = frame_h;
    if (resized && a_on_resize_ != Py_None) resize(frame_w, frame_h);
    if (right_ > frame_w || bottom_ > frame_h) {
        console_.line({n_msg_roi.get()});
        why = Stopped::Roi;
        return Next::Stop;
    }
    const long long inframe = frames_read_++;
    Ref elapsed = Ref::check(PyNumber_Subtract(now, start_));
    const double elapsed_s = to_double(call_method(elapsed.get(), n_total_seconds).get());
    if (payload) keyed_ = true;
    if (full_ && key) {
        full_ = false;
        if (!need_restart_) roll_over();
    }
    // A segment holds segment_seconds of recording time at most (to its first keyframe after).
    // Split by events, time between them belongs to no segment.
    if (segment_seconds_ > 0 && !need_restart_ && !(split_events_ && need_files_) && key &&
        elapsed_s - segment_start_ >= segment_seconds_)
        roll_over();
    if (need_restart_) start_segment(now, elapsed_s);

    Ref delta = Ref::check(PyNumber_Subtract(now, gate_.last()));
    Ref delta_s = call_method(delta.get(), n_total_seconds);
    if (a_.duration > 0 && elapsed_s > a_.duration) {
        why = Stopped::Duration;
        return Next::Stop;
    }

    Ref roi = call_method(Ref::check(PyObject_GetItem(frame, crop_index_.get())).get(), n_copy);
    wrote_current_ = false;
    if (events_) {
        const Verdict v = gate_.judge(roi.get(), shape.get());
        // A scan writes no frame: the frames an event may still take are held without their image.
        events_->take(Held{Ref::borrow(scan_ ? Py_None : roi.get()), inframe, Ref::borrow(now), elapsed_s,
                           v.motion ? v.box : Box{}, Ref::borrow(payload), key},
                      v, *this, roi.get());
    } else if (gate_.keep(roi.get(), shape.get(), delta_s.get())) {
        write_frame(Held{Ref::borrow(roi.get()), inframe, Ref::borrow(now), elapsed_s, Box{}, Ref::borrow(payload), key});
    }
    report_progress();
    if (wrote_current_ && a_.interactive && preview_.show(roi.get())) {
        why = Stopped::Key;
        return Next::Stop;
    }
    return Next::Frame;
}

void FrameRules::finish() {
    if (events_) events_->finish(*this);
}

// The segment is full (or its time is up, or the signal lost): it is finished now (the front end's
// entry) or when the next one opens (vcapture); the next frame read starts the next one.
void FrameRules::roll_over() {
    outframe_ = 0;
    full_ = false;
    need_restart_ = need_files_ = true;
    if (closes_early_ && !scan_) sink_->close_segment();
}

// A lost signal is told (the line, then on_signal), then ends the event and the segment.
void FrameRules::lost(PyObject* when) {
    Ref stamp = call_method(when, n_isoformat);
    console_.notice({Ref::check(PyUnicode_FromFormat("Signal lost at %S", stamp.get())).get()});
    gaps_.emplace_back(Ref::borrow(when), Ref());
    if (on_signal_ != Py_None) call(on_signal_, {n_text_lost.get(), when});
    if (events_) events_->finish(*this);
    roll_over();
}

void FrameRules::back(PyObject* when) {
    Ref stamp = call_method(when, n_isoformat);
    console_.notice({Ref::check(PyUnicode_FromFormat("Signal back at %S", stamp.get())).get()});
    if (!gaps_.empty()) gaps_.back().second = Ref::borrow(when);
    if (on_signal_ != Py_None) call(on_signal_, {n_text_back.get(), when});
}

bool FrameRules::expired(PyObject* now) {
    if (a_.duration <= 0) return false;
    Ref elapsed = Ref::check(PyNumber_Subtract(now, start_));
    return to_double(call_method(elapsed.get(), n_total_seconds).get()) > a_.duration;
}

// A segment starts with the frame read after a roll-over: a new reference for the gate. Its files
// are opened now (vcapture), or with its first frame written.
void FrameRules::start_segment(PyObject* now, double t) {
    need_restart_ = false;
    segment_start_ = t;
    if (mode_.opening == Mode::Opening::OnFirstWrite) {
        gate_.restart(now);
        return;
    }
    segment_name_ = namer_.next(now);
    gate_.restart(now);
    sink_->open_segment(segment_name_.get(), size_.get());
    destroy_all_windows();
    need_files_ = false;
    if (a_.interactive) preview_.open(segment_name_.get());
}

void FrameRules::open_files(PyObject* when) {
    need_files_ = false;
    if (scan_) return;
    segment_name_ = namer_.next(when);
    sink_->open_segment(segment_name_.get(), size_.get());
    destroy_all_windows();
    if (a_.interactive) preview_.open(segment_name_.get());
}

// Split by events, the segment ends with its event; the next event's first frame opens the next,
// and its time counts from there.
void FrameRules::event_ended() {
    if (!split_events_ || need_files_) return;
    outframe_ = 0;
    need_files_ = true;
    if (closes_early_ && !scan_) sink_->close_segment();
}

// The box around a frame's motion, drawn into it: cv2.rectangle(roi, (x, y), (x + w - 1, y + h - 1),
// colour, 2).
void FrameRules::draw_box(PyObject* roi, const Box& b) {
    Ref corner = tuple_of(py_int(b.x), py_int(b.y));
    Ref opposite = tuple_of(py_int(b.x + b.w - 1), py_int(b.y + b.h - 1));
    Ref colour = colour_of(a_.tb);
    Ref thickness = py_int(2);
    call(global_attr(n_cv2, n_rectangle).get(), {roi, corner.get(), opposite.get(), colour.get(), thickness.get()});
}

PyObject* FrameRules::write_frame(const Held& frame) {
    if (need_files_) {
        if (split_events_) segment_start_ = frame.t;
        open_files(frame.now.get());
    }
    gate_.kept(frame.now.get());
    if (!scan_) {
        if (boxes_ && !frame.box.empty()) draw_box(frame.roi.get(), frame.box);
        Ref stamp = call_method(frame.now.get(), n_isoformat);
        if (a_.timestamp) overlay_.draw(frame.roi.get(), stamp.get());
        sink_->write(Ref::borrow(frame.roi.get()), frame.inframe, outframe_, Ref::borrow(frame.now.get()),
                     std::move(stamp), Ref::borrow(frame.payload.get()));
    }
    ++frames_saved_;
    wrote_current_ = frame.inframe == frames_read_ - 1;
    // A segment holds exactly max_frames frames; the next frame read starts the next one, and the
    // next frame written opens its files.
    // Copied frames: the next keyframe read starts it.
    if (++outframe_ >= a_.max_frames && a_.max_frames > 0) {
        if (keyed_) {
            full_ = true;
        } else {
            roll_over();
        }
    }
    return segment_name_ ? segment_name_.get() : Py_None;
}

void FrameRules::report_progress() {
    if (progress_ == Py_None) return;
    PyObject* segment = segment_name_ ? segment_name_.get() : Py_None;
    call(progress_, {py_int(frames_read_).get(), py_int(frames_saved_).get(), segment});
}

}  // namespace quarrin
