// The parts of a recording (see recording.hpp). Each part makes its calls into cv2, numpy, os,
// datetime and csv in the order the recorder has always made them.
#include "recording.hpp"

#include "motion.hpp"

#include <algorithm>
#include <cstdio>

namespace quarrin {

const Name n_timestamp("timestamp");

namespace {

// module globals
const Name n_np("np"), n_os("os"), n_sys("sys"), n_time("time"), n_datetime("datetime"), n_timedelta("timedelta"),
    n_csv("csv");
// attributes and methods
const Name n_VideoCapture("VideoCapture"), n_VideoWriter("VideoWriter"), n_VideoWriter_fourcc("VideoWriter_fourcc"),
    n_CAP_DSHOW("CAP_DSHOW"), n_CAP_PROP_FRAME_WIDTH("CAP_PROP_FRAME_WIDTH"),
    n_CAP_PROP_FRAME_HEIGHT("CAP_PROP_FRAME_HEIGHT"), n_CAP_PROP_FPS("CAP_PROP_FPS"),
    n_CAP_PROP_SETTINGS("CAP_PROP_SETTINGS"), n_CAP_PROP_FRAME_COUNT("CAP_PROP_FRAME_COUNT"), n_set("set"),
    n_get("get"), n_read("read"), n_write("write"), n_release("release"), n_isOpened("isOpened"), n_close("close"),
    n_flush("flush"), n_platform("platform"), n_now("now"), n_fromtimestamp("fromtimestamp"), n_mktime("mktime"),
    n_localtime("localtime"), n_path("path"), n_getmtime("getmtime"), n_exists("exists"), n_rpartition("rpartition"),
    n_zeros("zeros"), n_uint8("uint8"), n_dtype("dtype"), n_writer("writer"), n_writerow("writerow"),
    n_newline("newline"), n_destroyAllWindows("destroyAllWindows"), n_shape("shape"), n_copy("copy"), n_total_seconds("total_seconds"),
    n_isoformat("isoformat"), n_days("days"), n_seconds("seconds"), n_getTextSize("getTextSize"),
    n_rectangle("rectangle"), n_putText("putText"), n_FONT_HERSHEY_SIMPLEX("FONT_HERSHEY_SIMPLEX"), n_FILLED("FILLED"),
    n_LINE_AA("LINE_AA"), n_waitKey("waitKey"), n_error("error"), n_signal("signal"),
    n_getsignal("getsignal"), n_SIGINT("SIGINT"), n_default_int_handler("default_int_handler");
// fixed texts
const Name n_text_win32("win32"), n_text_csv_suffix(".csv"), n_text_mode_w("w"), n_text_empty(""),
    n_head_inframe("inframe"), n_head_outframe("outframe");
const Name n_msg_roi("ROI limits exceed frame size"), n_msg_input_from_file("Input from file"), n_msg_open("Open?"),
    n_msg_frames_to_process("Frames to process"), n_msg_frame_dimension("Frame dimension");

bool is_win32() {
    Ref platform = global_attr(n_sys, n_platform);
    return compare(platform.get(), n_text_win32, Py_EQ);
}

// (c[0], c[1], c[2]) with each element made a Python int.
Ref colour_of(PyObject* arr) {
    Ref t = Ref::check(PyTuple_New(3));
    for (Py_ssize_t i = 0; i < 3; ++i) {
        Ref item = Ref::check(PySequence_GetItem(arr, i));
        PyTuple_SET_ITEM(t.get(), i, Ref::check(PyNumber_Long(item.get())).release());
    }
    return t;
}

// An overlay colour must be an array of at least three elements.
void require_colour(PyObject* arr, const char* name) {
    if (arr == Py_None)
        raise_format(PyExc_ValueError, "%s must be an array of three colour values when timestamp is on, not None",
                     name);
    const Py_ssize_t len = PyObject_Size(arr);
    require(len);
    if (len < 3)
        raise_format(PyExc_ValueError,
                     "%s must hold at least three colour values when timestamp is on (it holds %zd)", name, len);
}

}  // namespace

// The video writer's colour conversion writes past its buffer for frames narrower than this.
constexpr int32_t kMinRoiWidth = 8;

void check_capture_arguments(const CaptureArgs& a) {
    if (a.roi_x < 0 || a.roi_y < 0)
        raise_format(PyExc_ValueError, "roi_x and roi_y must not be negative (got %d, %d)", a.roi_x, a.roi_y);
    if (a.roi_w < 1 || a.roi_h < 1)
        raise_format(PyExc_ValueError, "roi_w and roi_h must be at least 1 (got %d, %d)", a.roi_w, a.roi_h);
    if (a.roi_w < kMinRoiWidth)
        raise_format(PyExc_ValueError,
                     "roi_w must be at least %d (got %d): the video encoder corrupts memory on narrower frames",
                     int(kMinRoiWidth), a.roi_w);
    if (a.motion_based) require_kernel_width(a.kernel_width);
    if (a.timestamp) {
        require_colour(a.tb, "tb");
        require_colour(a.tc, "tc");
    }
}

// OpenCV builds without a GUI back end (the headless packages) raise cv2.error from
// destroyAllWindows: such a build has no window to close. Window calls that matter (namedWindow,
// imshow) still raise there.
void destroy_all_windows() {
    Ref cv2 = global(n_cv2);
    PyObject* argv[] = {cv2.get()};
    PyObject* result = PyObject_VectorcallMethod(n_destroyAllWindows, argv, 1, nullptr);
    if (result) {
        Py_DECREF(result);
        return;
    }
    PendingError raised = PendingError::fetch();
    Ref error_type = Ref::steal(PyObject_GetAttr(cv2.get(), n_error));
    PyErr_Clear();  // a cv2 without `error` cannot have raised it
    if (error_type && raised.matches(error_type.get())) return;
    raised.restore();
    throw PyError{};
}

// ---- source -----------------------------------------------------------------------------------

Source::Opened Source::open(const CaptureArgs& a) {
    try {
        return open_camera(a);
    } catch (const PyError&) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw;
        PyErr_Clear();
    }
    // Not a camera: the capture the camera path may have made is dropped unreleased.
    cap_ = Ref();
    cam_ = -1;
    return open_file(a);
}

int32_t Source::camera_property(PyObject* prop_name) {
    Ref prop = global_attr(n_cv2, prop_name);
    return to_int32(call_method(cap_.get(), n_get, {prop.get()}).get());
}

Source::Opened Source::open_camera(const CaptureArgs& a) {
    cam_ = to_int32(Ref::check(PyNumber_Long(a.input_)).get());
    Ref cam = py_int(cam_);
    const int32_t fps = a.fps < 0 ? 30 : a.fps;
    {
        const bool dshow = is_win32() && a.interactive;
        Ref cv2 = global(n_cv2);
        if (dshow) {
            Ref api = getattr(cv2.get(), n_CAP_DSHOW);
            cap_ = call_method(cv2.get(), n_VideoCapture, {cam.get(), api.get()});
        } else {
            cap_ = call_method(cv2.get(), n_VideoCapture, {cam.get()});
        }
    }
    auto set_property = [&](PyObject* prop_name, long long value) {
        Ref prop = global_attr(n_cv2, prop_name);
        call_method(cap_.get(), n_set, {prop.get(), py_int(value).get()});
    };
    if (a.width > 0) set_property(n_CAP_PROP_FRAME_WIDTH, a.width);
    if (a.height > 0) set_property(n_CAP_PROP_FRAME_HEIGHT, a.height);
    if (fps > 0) set_property(n_CAP_PROP_FPS, fps);
    if (a.config) set_property(n_CAP_PROP_SETTINGS, 1);

    print({Ref::check(PyUnicode_FromFormat("Camera FPS set to %d", fps)).get()});
    start_ = call_method(global(n_datetime).get(), n_now);
    const int32_t cam_w = camera_property(n_CAP_PROP_FRAME_WIDTH);
    const int32_t cam_h = camera_property(n_CAP_PROP_FRAME_HEIGHT);
    print({Ref::check(PyUnicode_FromFormat("Frame size: %dx%d", cam_w, cam_h)).get()});

    if (static_cast<long long>(a.roi_x) + a.roi_w > cam_w || static_cast<long long>(a.roi_y) + a.roi_h > cam_h) {
        print({n_msg_roi.get()});
        return Opened::RoiTooLarge;
    }
    fps_ = fps;
    fps_obj_ = py_int(fps);
    return Opened::Yes;
}

Source::Opened Source::open_file(const CaptureArgs& a) {
    {
        // Start of the recording: the file's modification time, in whole local seconds.
        Ref datetime = global(n_datetime);
        Ref time_module = global(n_time);
        Ref mtime = call_method(global_attr(n_os, n_path).get(), n_getmtime, {a.input_});
        Ref local = call_method(time_module.get(), n_localtime, {mtime.get()});
        Ref secs = call_method(global(n_time).get(), n_mktime, {local.get()});
        start_ = call_method(datetime.get(), n_fromtimestamp, {secs.get()});
    }
    cap_ = call_method(global(n_cv2).get(), n_VideoCapture, {a.input_});
    if (!truth(call_method(cap_.get(), n_isOpened).get()) && is_win32() && a.interactive) {
        Ref cv2 = global(n_cv2);
        Ref api = getattr(cv2.get(), n_CAP_DSHOW);
        cap_ = call_method(cv2.get(), n_VideoCapture, {a.input_, api.get()});
    }
    {
        Ref opened = call_method(cap_.get(), n_isOpened);
        print({n_msg_input_from_file.get(), a.input_, n_msg_open.get(), opened.get()});
    }
    if (!truth(call_method(cap_.get(), n_isOpened).get())) {
        print({Ref::check(PyUnicode_FromFormat("Could not open video file %S for reading.", a.input_)).get()});
        return Opened::FileNotOpen;
    }
    {
        // The file's own rate, fractional rates included, drives the timestamps and the writer.
        Ref prop = global_attr(n_cv2, n_CAP_PROP_FPS);
        fps_ = to_double(call_method(cap_.get(), n_get, {prop.get()}).get());
        fps_obj_ = py_float(fps_);
    }
    {
        Ref prop = global_attr(n_cv2, n_CAP_PROP_FRAME_COUNT);
        Ref count = call_method(cap_.get(), n_get, {prop.get()});
        print({n_msg_frames_to_process.get(), Ref::check(PyNumber_Long(count.get())).get()});
    }
    return Opened::Yes;
}

Ref Source::read() {
    Ref result = call_method(cap_.get(), n_read);
    Ref items[2];
    unpack(result.get(), items, 2, UnpackWording::Python);
    return std::move(items[1]);
}

Ref Source::frame_time(long long index) {
    if (is_camera()) return call_method(global(n_datetime).get(), n_now);
    if (fps_ == 0.0) raise(PyExc_ZeroDivisionError, "float division");
    if (!delta_kwnames_) {
        zero_ = py_int(0);
        delta_kwnames_ = tuple_of(Ref::borrow(n_days.get()), Ref::borrow(n_seconds.get()));
    }
    Ref secs = py_float(static_cast<double>(index) / fps_);
    PyObject* argv[] = {zero_.get(), secs.get()};
    Ref step = Ref::check(PyObject_Vectorcall(global(n_timedelta).get(), argv, 0, delta_kwnames_.get()));
    return Ref::check(PyNumber_Add(start_.get(), step.get()));
}

void Source::close() { call_method(cap_.get(), n_release); }

// ---- output names -------------------------------------------------------------------------------

// Splits the output into root and extension as os.path.splitext splits a POSIX path: the
// extension is the last dot of the file name and what follows it, unless the name is all dots
// up to there (".hidden" has none).
void SegmentNamer::split_output() {
    if (!PyUnicode_Check(output_)) getattr(output_, n_rpartition);  // None: AttributeError, as ever
    const Py_ssize_t length = PyUnicode_GetLength(output_);
    const Py_ssize_t sep = PyUnicode_FindChar(output_, '/', 0, length, -1);  // -1: none, -2: error
    const Py_ssize_t dot = PyUnicode_FindChar(output_, '.', 0, length, -1);
    require(std::min(sep, dot) + 1);
    Py_ssize_t split = length;
    if (dot > sep) {
        for (Py_ssize_t i = sep + 1; i < dot; ++i) {
            if (PyUnicode_ReadChar(output_, i) != '.') {
                split = dot;
                break;
            }
        }
    }
    root_ = Ref::check(PyUnicode_Substring(output_, 0, split));
    ext_ = Ref::check(PyUnicode_Substring(output_, split, length));
}

// The number goes before the file name's own extension.
Ref SegmentNamer::numbered(long long number) const {
    char digits[32];
    std::snprintf(digits, sizeof digits, "%03lld", number);
    return Ref::check(PyUnicode_FromFormat("%S_%s%S", root_.get(), digits, ext_.get()));
}

Ref SegmentNamer::next() {
    split_output();
    Ref name = numbered_ ? numbered(counter_) : Ref::borrow(output_);
    // Never overwrite a video: try numbered names until one is free.
    for (;;) {
        const bool exists = truth(call_method(global_attr(n_os, n_path).get(), n_exists, {name.get()}).get());
        ++counter_;
        if (!exists) break;
        name = numbered(counter_);
    }
    Ref csv_name = Ref::check(PyNumber_Add(name.get(), n_text_csv_suffix));
    print({Ref::check(PyUnicode_FromFormat("Video saved in %S\nTimestamps in %S", name.get(), csv_name.get())).get()});
    return name;
}

// ---- segment ------------------------------------------------------------------------------------

namespace {

// cv2.VideoWriter_fourcc(*fmt)
Ref fourcc_of(PyObject* fmt) {
    Ref make = global_attr(n_cv2, n_VideoWriter_fourcc);
    Ref chars = Ref::steal(PySequence_Tuple(fmt));
    if (!chars) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(fmt)->tp_iter == nullptr && !PySequence_Check(fmt)) {
            PyErr_Clear();
            raise_format(PyExc_TypeError, "VideoWriter_fourcc() argument after * must be an iterable, not %.200s",
                         Py_TYPE(fmt)->tp_name);
        }
        throw PyError{};
    }
    return Ref::check(PyObject_Call(make.get(), chars.get(), nullptr));
}

}  // namespace

void Segment::open(PyObject* name, PyObject* fmt, PyObject* fps, int32_t width, int32_t height) {
    Ref fourcc = fourcc_of(fmt);
    if (writer_) call_method(writer_.get(), n_release);
    if (csv_file_) {
        // The previous segment's rows must reach the disk: a failing close ends the recording.
        csv_writer_ = Ref();
        Ref previous = std::move(csv_file_);
        call_method(previous.get(), n_close);
    }
    name_ = Ref::borrow(name);
    {
        Ref size = tuple_of(py_int(width), py_int(height));
        writer_ = call_method(global(n_cv2).get(), n_VideoWriter, {name, fourcc.get(), fps, size.get()});
    }
    {
        Ref csv_name = Ref::check(PyNumber_Add(name, n_text_csv_suffix));
        Ref kwnames = tuple_of(Ref::borrow(n_newline.get()));
        PyObject* argv[] = {csv_name.get(), n_text_mode_w.get(), n_text_empty.get()};
        csv_file_ = Ref::check(PyObject_Vectorcall(state.open, argv, 2, kwnames.get()));
    }
    csv_writer_ = call_method(global(n_csv).get(), n_writer, {csv_file_.get()});
    call_method(csv_writer_.get(), n_writerow,
                {list_of({n_head_inframe.get(), n_head_outframe.get(), n_timestamp.get()}).get()});
    // A writer that did not open would drop every frame while the CSV lists them: stop here.
    if (!truth(call_method(writer_.get(), n_isOpened).get()))
        raise_format(PyExc_RuntimeError, "Could not open video file %S for writing (fourcc %R)", name, fmt);
}

void Segment::write(PyObject* roi, long long inframe, long long outframe, Ref timestamp) {
    call_method(writer_.get(), n_write, {roi});
    Ref row = Ref::check(PyList_New(3));
    PyList_SET_ITEM(row.get(), 0, py_int(inframe).release());
    PyList_SET_ITEM(row.get(), 1, py_int(outframe).release());
    PyList_SET_ITEM(row.get(), 2, timestamp.release());
    call_method(csv_writer_.get(), n_writerow, {row.get()});
    // The row reaches the OS with its frame: a full disk shows at this frame, and a killed
    // process loses at most the row of the frame in flight.
    call_method(csv_file_.get(), n_flush);
}

void Segment::close(CleanupChain& chain) noexcept {
    chain.step([&] {
        if (writer_ && truth(call_method(writer_.get(), n_isOpened).get())) call_method(writer_.get(), n_release);
    });
    chain.step([&] {
        if (csv_file_) call_method(csv_file_.get(), n_close);
    });
}

// ---- gate, overlay, preview ---------------------------------------------------------------------

Gate::Gate(const CaptureArgs& a) : a_(a) {
    if (a.interval > 0) interval_ = py_float(a.interval);
}

void Gate::restart(PyObject* now, int32_t width, int32_t height) {
    last_ = Ref::borrow(now);
    Ref size = tuple_of(py_int(height), py_int(width));
    Ref kwnames = tuple_of(Ref::borrow(n_dtype.get()));
    for (Ref* target : {&blurred_prev_, &blurred_cur_}) {
        Ref np = global(n_np);
        Ref uint8 = global_attr(n_np, n_uint8);
        *target = call_method(np.get(), n_zeros, {size.get(), uint8.get()}, kwnames.get());
    }
}

bool Gate::moved(PyObject* roi, PyObject* shape) {
    const Py_ssize_t ndim = PyObject_Size(shape);
    require(ndim);
    const MotionArgs args{roi, blurred_prev_.get(), blurred_cur_.get(), a_.threshold, a_.min_area,
                          a_.kernel_width, a_.show_diff};
    if (ndim == 3) return check_motion_rgb(args);
    print({n_msg_frame_dimension.get(), py_int(ndim).get()});
    return check_motion_gray(args);
}

bool Gate::keep(PyObject* roi, PyObject* shape, PyObject* delta_s) {
    if (a_.motion_based) return moved(roi, shape);
    if (interval_) return compare(delta_s, interval_.get(), Py_GE);
    return true;
}

void Overlay::draw(PyObject* roi, PyObject* text) {
    Ref text_w, text_h;
    {
        Ref cv2 = global(n_cv2);
        Ref face = global_attr(n_cv2, n_FONT_HERSHEY_SIMPLEX);
        Ref size = call_method(cv2.get(), n_getTextSize, {text, face.get(), py_float(0.5).get(), py_int(2).get()});
        Ref outer[2], wh[2];
        unpack(size.get(), outer, 2, UnpackWording::Python);
        unpack(outer[0].get(), wh, 2, UnpackWording::Python);
        text_w = std::move(wh[0]);
        text_h = std::move(wh[1]);
    }
    Ref tx = py_int(a_.tx), ty = py_int(a_.ty);
    {
        Ref cv2 = global(n_cv2);
        Ref origin = tuple_of(Ref::borrow(tx.get()), Ref::borrow(ty.get()));
        Ref corner = tuple_of(Ref::check(PyNumber_Add(tx.get(), text_w.get())),
                              Ref::check(PyNumber_Subtract(ty.get(), text_h.get())));
        Ref colour = colour_of(a_.tb);
        Ref filled = global_attr(n_cv2, n_FILLED);
        call_method(cv2.get(), n_rectangle, {roi, origin.get(), corner.get(), colour.get(), filled.get()});
    }
    {
        Ref cv2 = global(n_cv2);
        Ref origin = tuple_of(Ref::borrow(tx.get()), Ref::borrow(ty.get()));
        Ref face = global_attr(n_cv2, n_FONT_HERSHEY_SIMPLEX);
        Ref scale = py_float(a_.fs);
        Ref colour = colour_of(a_.tc);
        Ref thickness = py_int(2);
        Ref line = global_attr(n_cv2, n_LINE_AA);
        call_method(cv2.get(), n_putText,
                    {roi, text, origin.get(), face.get(), scale.get(), colour.get(), thickness.get(), line.get()});
    }
}

void Preview::open(PyObject* name) {
    name_ = Ref::borrow(name);
    Ref cv2 = global(n_cv2);
    Ref flags = global_attr(n_cv2, n_WINDOW_NORMAL);
    call_method(cv2.get(), n_namedWindow, {name, flags.get()});
}

bool Preview::show(PyObject* roi) {
    call_method(global(n_cv2).get(), n_imshow, {name_.get(), roi});
    Ref raw = call_method(global(n_cv2).get(), n_waitKey, {py_int(1).get()});
    Ref key = Ref::check(PyNumber_And(raw.get(), py_int(255).get()));
    for (long stop : {113L, 27L}) {  // q, Esc
        if (compare(key.get(), py_int(stop).get(), Py_EQ)) return true;
    }
    return false;
}

}  // namespace quarrin

// ---- the rules for each frame -------------------------------------------------------------------

namespace quarrin {

FrameRules::FrameRules(const CaptureArgs& a, PyObject* start, PyObject* progress, FrameSink& sink)
    : a_(a), start_(start), progress_(progress), sink_(&sink), namer_(a.output, a.max_frames), gate_(a), overlay_(a) {
    right_ = static_cast<long long>(a.roi_x) + a.roi_w;
    bottom_ = static_cast<long long>(a.roi_y) + a.roi_h;
    // The crop index [roi_y:roi_y+roi_h, roi_x:roi_x+roi_w].
    Ref rows = Ref::check(PySlice_New(py_int(a.roi_y).get(), py_int(bottom_).get(), nullptr));
    Ref cols = Ref::check(PySlice_New(py_int(a.roi_x).get(), py_int(right_).get(), nullptr));
    crop_index_ = tuple_of(std::move(rows), std::move(cols));
}

FrameRules::Next FrameRules::take(PyObject* frame, PyObject* now, Stopped& why) {
    Ref shape = getattr(frame, n_shape);
    const int32_t frame_w = to_int32(Ref::check(PySequence_GetItem(shape.get(), 1)).get());
    const int32_t frame_h = to_int32(Ref::check(PySequence_GetItem(shape.get(), 0)).get());
    if (right_ > frame_w || bottom_ > frame_h) {
        print({n_msg_roi.get()});
        why = Stopped::Roi;
        return Next::Stop;
    }
    const long long inframe = frames_read_++;
    if (outframe_ == 0) next_segment(now);

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

void FrameRules::next_segment(PyObject* now) {
    segment_name_ = namer_.next();
    gate_.restart(now, a_.roi_w, a_.roi_h);
    sink_->open_segment(segment_name_.get());
    destroy_all_windows();
    outframe_ = 1;
    if (a_.interactive) preview_.open(segment_name_.get());
}

void FrameRules::save(PyObject* roi, long long inframe, PyObject* now) {
    gate_.kept(now);
    Ref stamp = call_method(now, n_isoformat);
    if (a_.timestamp) overlay_.draw(roi, stamp.get());
    sink_->write(Ref::borrow(roi), inframe, outframe_ - 1, std::move(stamp));
    ++frames_saved_;
    // A segment holds exactly max_frames frames; the next frame read opens the next one.
    ++outframe_;
    if (a_.max_frames > 0 && outframe_ > a_.max_frames) outframe_ = 0;
}

void FrameRules::report_progress() {
    if (progress_ == Py_None) return;
    PyObject* segment = segment_name_ ? segment_name_.get() : Py_None;
    call(progress_, {py_int(frames_read_).get(), py_int(frames_saved_).get(), segment});
}

// ---- Ctrl-C between frames ----------------------------------------------------------------------
//
// Python runs signal handlers wherever something checks for signals, and a recording's CSV writes
// do: a KeyboardInterrupt raised there could drop the row of a frame already in the video. So while
// the loop runs in the main thread, the default SIGINT handler is swapped for one that only notes
// the signal for this recording, which raises KeyboardInterrupt itself between two frames. Each
// recording has its own note: a recording in another thread never consumes it.

namespace {

using SigintNote = std::shared_ptr<std::atomic<bool>>;
constexpr const char kNoteCapsule[] = "quarrin.snapwell.sigint_note";

PyObject* note_sigint(PyObject* self, PyObject* const*, Py_ssize_t) {
    auto* note = static_cast<SigintNote*>(PyCapsule_GetPointer(self, kNoteCapsule));
    if (!note) return nullptr;
    (*note)->store(true);
    Py_RETURN_NONE;
}

PyMethodDef note_sigint_def = {"vcapture_sigint",
                               reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(note_sigint)),
                               METH_FASTCALL, "Notes a Ctrl-C for the running recording."};

void free_note(PyObject* capsule) { delete static_cast<SigintNote*>(PyCapsule_GetPointer(capsule, kNoteCapsule)); }

}  // namespace

// Swaps the handler when the default one is installed; elsewhere (another handler, or a thread
// that is not the main one, where Python never runs handlers) changes nothing.
void SigintDeferral::begin() {
    module_ = Ref::check(PyImport_Import(n_signal));
    Ref signum = getattr(module_.get(), n_SIGINT);
    Ref current = call_method(module_.get(), n_getsignal, {signum.get()});
    Ref standard = getattr(module_.get(), n_default_int_handler);
    if (current.get() != standard.get()) return;
    auto note = std::make_shared<std::atomic<bool>>(false);
    Ref capsule = Ref::check(PyCapsule_New(new SigintNote(note), kNoteCapsule, free_note));
    Ref handler = Ref::check(PyCFunction_New(&note_sigint_def, capsule.get()));
    PyObject* argv[] = {module_.get(), signum.get(), handler.get()};
    Ref installed = Ref::steal(PyObject_VectorcallMethod(n_signal, argv, 3, nullptr));
    if (!installed) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw PyError{};
        PyErr_Clear();  // not the main thread
        return;
    }
    previous_ = std::move(current);
    noted_ = std::move(note);
}

void SigintDeferral::raise_noted() {
    if (!noted_ || !noted_->exchange(false)) return;
    PyErr_SetNone(PyExc_KeyboardInterrupt);
    throw PyError{};
}

// Puts the previous handler back.
void SigintDeferral::end() {
    if (!previous_) return;
    Ref previous = std::move(previous_);
    Ref signum = getattr(module_.get(), n_SIGINT);
    call_method(module_.get(), n_signal, {signum.get(), previous.get()});
}

// end() while an exception is in flight: that exception wins, a noted Ctrl-C is dropped.
void SigintDeferral::end_quietly() noexcept {
    if (!previous_) return;
    ErrorStash stash;
    attempt([&] { end(); });
    PyErr_Clear();
    if (noted_) noted_->store(false);
}

}  // namespace quarrin
