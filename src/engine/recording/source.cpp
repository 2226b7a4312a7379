// The source of a recording (see source.hpp). Its calls into cv2, os, time and datetime are made
// in the order the recorder has always made them.
#include "recording/source.hpp"

#include "recording/names.hpp"

#include <chrono>
#include <algorithm>
#include <thread>

namespace quarrin {

namespace {
const Name n_key("key");
}  // namespace

bool is_win32() {
    Ref platform = global_attr(n_sys, n_platform);
    return compare(platform.get(), n_text_win32, Py_EQ);
}

// ---- opening -----------------------------------------------------------------------------------

Source::Opened Source::open(const RecordArgs& args) {
    if (args.reader != Py_None) return open_reader(args);
    const CaptureArgs& a = args.capture;
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

    console_.line({Ref::check(PyUnicode_FromFormat("Camera FPS set to %d", fps)).get()});
    start_ = call_method(global(n_datetime).get(), n_now);
    const int32_t cam_w = camera_property(n_CAP_PROP_FRAME_WIDTH);
    const int32_t cam_h = camera_property(n_CAP_PROP_FRAME_HEIGHT);
    console_.line({Ref::check(PyUnicode_FromFormat("Frame size: %dx%d", cam_w, cam_h)).get()});

    if (static_cast<long long>(a.roi_x) + a.roi_w > cam_w || static_cast<long long>(a.roi_y) + a.roi_h > cam_h) {
        console_.line({n_msg_roi.get()});
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
        console_.line({n_msg_input_from_file.get(), a.input_, n_msg_open.get(), opened.get()});
    }
    if (!truth(call_method(cap_.get(), n_isOpened).get())) {
        console_.line({Ref::check(PyUnicode_FromFormat("Could not open video file %S for reading.", a.input_)).get()});
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
        console_.line({n_msg_frames_to_process.get(), Ref::check(PyNumber_Long(count.get())).get()});
    }
    return Opened::Yes;
}

Source::Frame Source::read(const Tick& tick) {
    Ref result;
    if (is_live()) {
        // A read abandoned (tick() gave up, or raised) keeps the reader: the worker releases it.
        try {
            result = calls_.run(getattr(cap_.get(), n_read), Ref::check(PyTuple_New(0)), Ref::borrow(cap_.get()), tick);
        } catch (const PyError&) {
            if (calls_.gave_up()) cap_ = Ref();
            throw;
        }
        if (!result) {
            cap_ = Ref();
            return {};
        }
    } else {
        result = call_method(cap_.get(), n_read);
    }
    Ref items[3];
    if (reader_) {
        // (frame, time) or (frame, time, payload), or None at the end.
        if (result.get() == Py_None) return {Ref::borrow(Py_None), Ref()};
        const bool carries = PyTuple_Check(result.get()) && PyTuple_GET_SIZE(result.get()) == 3;
        unpack(result.get(), items, carries ? 3 : 2, UnpackWording::Python);
        Frame frame{std::move(items[0]), std::move(items[1])};
        if (carries && items[2].get() != Py_None) {
            frame.key = truth(getattr(items[2].get(), n_key).get());
            frame.payload = std::move(items[2]);
        }
        return frame;
    }
    unpack(result.get(), items, 2, UnpackWording::Python);
    if (items[1].get() == Py_None) return {std::move(items[1]), Ref()};
    return {std::move(items[1]), frame_time()};
}

Ref Source::frame_time() {
    const long long index = index_++;
    if (cam_ >= 0) return call_method(global(n_datetime).get(), n_now);
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

void Source::close() {
    if (cap_) call_method(cap_.get(), n_release);
}

// ---- live sources -------------------------------------------------------------------------------

double steady_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

namespace {

// Sleeps `seconds` in steps of 50 ms with the interpreter lock released; false when tick() says
// to give up.
bool wait(double seconds, const Source::Tick& tick) {
    const double until = steady_seconds() + seconds;
    while (steady_seconds() < until) {
        if (!tick()) return false;
        Py_BEGIN_ALLOW_THREADS
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        Py_END_ALLOW_THREADS
    }
    return tick();
}

// Ctrl-C and SIGTERM are acted on while a live source opens.
bool signals_tick() {
    require(PyErr_CheckSignals());
    return true;
}

}  // namespace

// ---- a reader object -----------------------------------------------------------------------------

// reader.open(timeout): a live source's on the worker thread, which releases the reader when the
// call is abandoned.
Ref Source::open_call(double timeout, const Tick& tick) {
    Ref opened = is_live() ? calls_.run(getattr(reader_, n_open), tuple_of(py_float(timeout)), Ref::borrow(reader_), tick)
                           : call_method(reader_, n_open, {py_float(timeout).get()});
    if (opened) cap_ = Ref::borrow(reader_);
    return opened;
}

// A reader that does not open holds nothing to release.
Source::Opened Source::open_reader(const RecordArgs& a) {
    reader_ = a.reader;
    if (a.live) live_ = &a;
    Ref opened = open_call(a.open_timeout, signals_tick);
    if (!truth(opened.get())) return Opened::FileNotOpen;
    start_ = getattr(reader_, n_start);
    fps_obj_ = getattr(reader_, n_fps);
    fps_ = to_double(fps_obj_.get());
    return Opened::Yes;
}

Source::Frame Source::regain(double budget, const Tick& tick) {
    const double until = steady_seconds() + budget;
    const Tick within = [&] { return tick() && steady_seconds() < until; };
    double pause = 1.0;
    for (;;) {
        if (cap_) call_method(Ref(std::move(cap_)).get(), n_release);
        Ref opened = open_call(std::min(live_->open_timeout, until - steady_seconds()), within);
        if (!opened) return {Ref::borrow(Py_None), Ref()};
        if (truth(opened.get())) {
            Frame frame = read(within);
            if (!frame.image) return {Ref::borrow(Py_None), Ref()};
            if (frame.image.get() != Py_None) return frame;
        }
        const double left = until - steady_seconds();
        if (left <= 0 || !wait(std::min(pause, left), tick)) return {Ref::borrow(Py_None), Ref()};
        pause = std::min(pause * 2, 30.0);
    }
}

}  // namespace quarrin
