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
      namer_(a.capture.output, a.capture.max_frames, mode.claim, console),
      gate_(a.capture, console),
      overlay_(a.capture) {
    right_ = static_cast<long long>(a_.roi_x) + a_.roi_w;
    bottom_ = static_cast<long long>(a_.roi_y) + a_.roi_h;
    // The crop index [roi_y:roi_y+roi_h, roi_x:roi_x+roi_w].
    Ref rows = Ref::check(PySlice_New(py_int(a_.roi_y).get(), py_int(bottom_).get(), nullptr));
    Ref cols = Ref::check(PySlice_New(py_int(a_.roi_x).get(), py_int(right_).get(), nullptr));
    crop_index_ = tuple_of(std::move(rows), std::move(cols));
}

FrameRules::Next FrameRules::take(PyObject* frame, PyObject* now, Stopped& why) {
    Ref shape = getattr(frame, n_shape);
    const int32_t frame_w = to_int32(Ref::check(PySequence_GetItem(shape.get(), 1)).get());
    const int32_t frame_h = to_int32(Ref::check(PySequence_GetItem(shape.get(), 0)).get());
    if (right_ > frame_w || bottom_ > frame_h) {
        console_.line({n_msg_roi.get()});
        why = Stopped::Roi;
        return Next::Stop;
    }
    const long long inframe = frames_read_++;
    if (outframe_ == 0) start_segment(now);

    Ref elapsed = Ref::check(PyNumber_Subtract(now, start_));
    const double elapsed_s = to_double(call_method(elapsed.get(), n_total_seconds).get());
    Ref delta = Ref::check(PyNumber_Subtract(now, gate_.last()));
    Ref delta_s = call_method(delta.get(), n_total_seconds);
    if (a_.duration > 0 && elapsed_s > a_.duration) {
        why = Stopped::Duration;
        return Next::Stop;
    }

    Ref roi = call_method(Ref::check(PyObject_GetItem(frame, crop_index_.get())).get(), n_copy);
    const bool kept = gate_.keep(roi.get(), shape.get(), delta_s.get());
    if (kept) save(roi.get(), inframe, now);
    report_progress();
    if (kept && a_.interactive && preview_.show(roi.get())) {
        why = Stopped::Key;
        return Next::Stop;
    }
    return Next::Frame;
}

// A segment starts with the frame read after a roll-over: a new reference for the gate. Its files
// are opened now, or with its first kept frame.
void FrameRules::start_segment(PyObject* now) {
    outframe_ = 1;
    if (mode_.opening == Mode::Opening::OnFirstWrite) {
        gate_.restart(now, a_.roi_w, a_.roi_h);
        unopened_ = true;
        return;
    }
    segment_name_ = namer_.next();
    gate_.restart(now, a_.roi_w, a_.roi_h);
    sink_->open_segment(segment_name_.get());
    destroy_all_windows();
    if (a_.interactive) preview_.open(segment_name_.get());
}

void FrameRules::open_segment() {
    unopened_ = false;
    segment_name_ = namer_.next();
    sink_->open_segment(segment_name_.get());
    destroy_all_windows();
    if (a_.interactive) preview_.open(segment_name_.get());
}

void FrameRules::save(PyObject* roi, long long inframe, PyObject* now) {
    if (unopened_) open_segment();
    gate_.kept(now);
    Ref stamp = call_method(now, n_isoformat);
    if (a_.timestamp) overlay_.draw(roi, stamp.get());
    sink_->write(Ref::borrow(roi), inframe, outframe_ - 1, Ref::borrow(now), std::move(stamp));
    ++frames_saved_;
    // A segment holds exactly max_frames frames; the next frame read starts the next one.
    ++outframe_;
    if (a_.max_frames > 0 && outframe_ > a_.max_frames) outframe_ = 0;
}

void FrameRules::report_progress() {
    if (progress_ == Py_None) return;
    PyObject* segment = segment_name_ ? segment_name_.get() : Py_None;
    call(progress_, {py_int(frames_read_).get(), py_int(frames_saved_).get(), segment});
}

}  // namespace quarrin
