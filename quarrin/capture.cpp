// vcapture: one whole recording from a camera or a video file.
//
// The recorder only sequences calls into Python objects: OpenCV's `cv2` module does every pixel
// operation, `datetime` the time arithmetic, `csv` the timestamp files. Module globals are looked
// up by name at each use (global()), so a caller can rebind `cv2`, `sys` and the others in the
// module namespace; OpenCV constants are read from `cv2` by name at each use as well.
//
// Shape of a call:
//   1. early checks of the region of interest and the overlay colours (nothing is opened yet);
//   2. open the source (camera, or file on any ValueError of the camera path);
//   3. the frame loop inside the protected region: KeyboardInterrupt and FileNotFoundError end
//      it with a message, every way out runs the clean-up (each step runs even if another raised).
#include "capture.hpp"

#include "motion.hpp"
#include "snapwell.hpp"
#include "snapwell_args.hpp"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <new>

namespace quarrin {
namespace {

// ---- names ------------------------------------------------------------------------------------

// module globals
const Name kCv2("cv2");
const Name kNp("np");
const Name kOs("os");
const Name kSys("sys");
const Name kTime("time");
const Name kDatetime("datetime");
const Name kTimedelta("timedelta");
const Name kCsv("csv");

// attributes and methods
const Name kVideoCapture("VideoCapture");
const Name kVideoWriter("VideoWriter");
const Name kVideoWriterFourcc("VideoWriter_fourcc");
const Name kCapDshow("CAP_DSHOW");
const Name kCapPropFrameWidth("CAP_PROP_FRAME_WIDTH");
const Name kCapPropFrameHeight("CAP_PROP_FRAME_HEIGHT");
const Name kCapPropFps("CAP_PROP_FPS");
const Name kCapPropSettings("CAP_PROP_SETTINGS");
const Name kCapPropFrameCount("CAP_PROP_FRAME_COUNT");
const Name kSet("set");
const Name kGet("get");
const Name kRead("read");
const Name kWrite("write");
const Name kRelease("release");
const Name kIsOpened("isOpened");
const Name kClose("close");
const Name kPlatform("platform");
const Name kNow("now");
const Name kFromtimestamp("fromtimestamp");
const Name kMktime("mktime");
const Name kLocaltime("localtime");
const Name kPath("path");
const Name kGetmtime("getmtime");
const Name kExists("exists");
const Name kRpartition("rpartition");
const Name kZeros("zeros");
const Name kUint8("uint8");
const Name kDtype("dtype");
const Name kWriter("writer");
const Name kWriterow("writerow");
const Name kNewline("newline");
const Name kDestroyAllWindows("destroyAllWindows");
const Name kNamedWindow("namedWindow");
const Name kWindowNormal("WINDOW_NORMAL");
const Name kShape("shape");
const Name kCopy("copy");
const Name kTotalSeconds("total_seconds");
const Name kIsoformat("isoformat");
const Name kDays("days");
const Name kSeconds("seconds");
const Name kGetTextSize("getTextSize");
const Name kRectangle("rectangle");
const Name kPutText("putText");
const Name kFontHersheySimplex("FONT_HERSHEY_SIMPLEX");
const Name kFilled("FILLED");
const Name kLineAA("LINE_AA");
const Name kImshow("imshow");
const Name kWaitKey("waitKey");
const Name kError("error");
const Name kSignalModule("signal");
const Name kSignal("signal");
const Name kGetsignal("getsignal");
const Name kSigint("SIGINT");
const Name kDefaultIntHandler("default_int_handler");

// fixed texts
const Name kWin32("win32");
const Name kDot(".");
const Name kCsvSuffix(".csv");
const Name kModeW("w");
const Name kEmpty("");
const Name kHeadInframe("inframe");
const Name kHeadOutframe("outframe");
const Name kHeadTimestamp("timestamp");
const Name kMsgRoi("ROI limits exceed frame size");
const Name kMsgInputFromFile("Input from file");
const Name kMsgOpen("Open?");
const Name kMsgFramesToProcess("Frames to process");
const Name kMsgFrameDimension("Frame dimension");
const Name kMsgKeyboardInterrupt("Caught keyboard interrupt");
const Name kMsgFileNotFound("Could not find one or more file paths");

// parameter positions
enum : int {
    P_INPUT, P_OUTPUT, P_FMT, P_FPS, P_INTERACTIVE, P_WIDTH, P_HEIGHT, P_ROI_X, P_ROI_Y, P_ROI_W,
    P_ROI_H, P_INTERVAL, P_DURATION, P_MAX_FRAMES, P_MOTION_BASED, P_CONFIG, P_THRESHOLD, P_MIN_AREA,
    P_KERNEL_WIDTH, P_TIMESTAMP, P_SHOW_DIFF, P_TB, P_TC, P_TX, P_TY, P_FS
};

// ---- call helpers -----------------------------------------------------------------------------

// (c[0], c[1], c[2]) with each element made a Python int.
Ref colour_of(PyObject* arr) {
    Ref t = Ref::check(PyTuple_New(3));
    for (Py_ssize_t i = 0; i < 3; ++i) {
        Ref item = Ref::check(PySequence_GetItem(arr, i));
        PyTuple_SET_ITEM(t.get(), i, PyNumber_Long(item.get()));
        if (!PyTuple_GET_ITEM(t.get(), i)) throw PyError{};
    }
    return t;
}

bool is_win32() {
    Ref sys = global(kSys);
    Ref platform = getattr(sys.get(), kPlatform);
    int eq = PyObject_RichCompareBool(platform.get(), kWin32, Py_EQ);
    if (eq < 0) throw PyError{};
    return eq != 0;
}

// cv2.destroyAllWindows(). OpenCV builds without a GUI back end (the headless packages) raise
// cv2.error from it: such a build has no window to close, so that error is not a failure of the
// recording. Window calls that matter (namedWindow, imshow) still raise there.
void destroy_all_windows() {
    Ref cv2 = global(kCv2);
    PyObject* argv[] = {cv2.get()};
    PyObject* r = PyObject_VectorcallMethod(kDestroyAllWindows, argv, 1, nullptr);
    if (r) {
        Py_DECREF(r);
        return;
    }
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyObject* error_type = PyObject_GetAttr(cv2.get(), kError);
    const bool no_gui = error_type && PyErr_GivenExceptionMatches(type, error_type);
    Py_XDECREF(error_type);
    PyErr_Clear();  // a cv2 without `error` cannot have raised it
    if (no_gui) {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
        return;
    }
    PyErr_Restore(type, value, tb);
    throw PyError{};
}

// ---- Ctrl-C between frames ----------------------------------------------------------------------

// Python runs signal handlers wherever something checks for signals, and a recording's CSV writes
// do (buffered file writes check after every flush): a KeyboardInterrupt raised there could drop
// the row of a frame already in the video, together with rows still pending in the text layer.
// So while the loop runs in the main thread, the default SIGINT handler is swapped for one that
// only notes the signal, and the loop raises KeyboardInterrupt itself between two frames.
bool sigint_noted = false;

PyObject* note_sigint(PyObject*, PyObject* const*, Py_ssize_t) {
    sigint_noted = true;
    Py_RETURN_NONE;
}

PyMethodDef note_sigint_def = {"vcapture_sigint",
                               reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(note_sigint)),
                               METH_FASTCALL, "Notes a Ctrl-C for the running recording."};

class SigintDeferral {
public:
    SigintDeferral() = default;
    SigintDeferral(const SigintDeferral&) = delete;
    SigintDeferral& operator=(const SigintDeferral&) = delete;
    ~SigintDeferral() { end_quietly(); }

    // Swaps the handler when the default one is installed; elsewhere (another handler, or a
    // thread that is not the main one, where Python never runs handlers) changes nothing.
    void begin() {
        sigint_noted = false;
        module_ = Ref::check(PyImport_Import(kSignalModule));
        Ref signum = getattr(module_.get(), kSigint);
        Ref current = call_method(module_.get(), kGetsignal, {signum.get()});
        Ref standard = getattr(module_.get(), kDefaultIntHandler);
        if (current.get() != standard.get()) return;
        Ref handler = Ref::check(PyCFunction_New(&note_sigint_def, nullptr));
        PyObject* argv[] = {module_.get(), signum.get(), handler.get()};
        PyObject* r = PyObject_VectorcallMethod(kSignal, argv, 3, nullptr);
        if (!r) {
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw PyError{};
            PyErr_Clear();  // not the main thread
            return;
        }
        Py_DECREF(r);
        previous_ = std::move(current);
    }

    // Raises KeyboardInterrupt for a noted Ctrl-C.
    static void raise_noted() {
        if (!sigint_noted) return;
        sigint_noted = false;
        PyErr_SetNone(PyExc_KeyboardInterrupt);
        throw PyError{};
    }

    // Puts the previous handler back.
    void end() {
        if (!previous_) return;
        Ref previous = std::move(previous_);
        Ref signum = getattr(module_.get(), kSigint);
        call_method(module_.get(), kSignal, {signum.get(), previous.get()});
    }

    // end() while an exception is in flight: that exception wins, a noted Ctrl-C is dropped.
    void end_quietly() noexcept {
        if (!previous_) return;
        ErrorStash stash;
        try {
            end();
        } catch (...) {
        }
        PyErr_Clear();
        sigint_noted = false;
    }

private:
    Ref module_;
    Ref previous_;
};

// An overlay colour must be an array of at least three elements.
void require_colour(PyObject* arr, const char* name) {
    if (arr == Py_None)
        raise_format(PyExc_ValueError, "%s must be an array of three colour values when timestamp is on, not None",
                     name);
    Py_ssize_t len = PyObject_Size(arr);
    if (len < 0) throw PyError{};
    if (len < 3)
        raise_format(PyExc_ValueError,
                     "%s must hold at least three colour values when timestamp is on (it holds %zd)", name, len);
}

// ---- one recording ----------------------------------------------------------------------------

class Recording {
public:
    explicit Recording(const Arg* a) : a_(a) {}
    Ref run();

private:
    enum class Opened { Yes, RoiTooLarge, FileNotOpen };
    enum class LoopEnd { Normal, RoiTooLarge };

    void check_arguments();
    Opened open_source();
    Opened open_camera();
    Opened open_file();
    LoopEnd frame_loop();
    void open_segment(PyObject* now);
    void overlay(PyObject* roi, PyObject* tstr);
    bool preview(PyObject* roi);  // true: a stop key was read
    void clean_up() noexcept;

    Ref segment_name(long long number) const;

    const Arg* a_;
    PyObject* input_ = nullptr;
    PyObject* output_ = nullptr;
    PyObject* fmt_ = nullptr;
    int32_t fps_arg_ = 0;
    bool interactive_ = false;

    // recording values
    int32_t cam_ = -1;
    double fps_ = 0.0;       // divisor of file timestamps
    Ref fps_obj_;            // declared to the writer: int for a camera, the file's own rate for a file
    Ref start_;
    Ref cap_;
    Ref out_;
    Ref tsfile_;
    Ref tswriter_;
    Ref outfname_;
    Ref last_;
    Ref blurred_prev_;
    Ref blurred_cur_;
    Ref base_, ext_;
    long long n_ = 0;
    long long outframe_ = 0;
    long long k_ = 0;
};

void Recording::check_arguments() {
    const int32_t roi_x = a_[P_ROI_X].i, roi_y = a_[P_ROI_Y].i, roi_w = a_[P_ROI_W].i, roi_h = a_[P_ROI_H].i;
    if (roi_x < 0 || roi_y < 0)
        raise_format(PyExc_ValueError, "roi_x and roi_y must not be negative (got %d, %d)", roi_x, roi_y);
    if (roi_w < 1 || roi_h < 1)
        raise_format(PyExc_ValueError, "roi_w and roi_h must be at least 1 (got %d, %d)", roi_w, roi_h);
    if (a_[P_TIMESTAMP].flag) {
        require_colour(a_[P_TB].obj, "tb");
        require_colour(a_[P_TC].obj, "tc");
    }
}

Ref Recording::run() {
    input_ = a_[P_INPUT].obj;
    output_ = a_[P_OUTPUT].obj;
    fmt_ = a_[P_FMT].obj;
    fps_arg_ = a_[P_FPS].i < 0 ? 30 : a_[P_FPS].i;
    interactive_ = a_[P_INTERACTIVE].flag;

    check_arguments();

    switch (open_source()) {
        case Opened::Yes: break;
        case Opened::RoiTooLarge:
        case Opened::FileNotOpen: return py_int(0);
    }

    // The protected region: everything from the first read to the end of the loop.
    LoopEnd end = LoopEnd::Normal;
    SigintDeferral sigint;
    try {
        sigint.begin();
        end = frame_loop();
        sigint.end();
        SigintDeferral::raise_noted();  // a Ctrl-C during the last frame still counts
    } catch (const PyError&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    sigint.end_quietly();
    if (PyErr_Occurred()) {
        PyObject* msg = nullptr;
        if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt))
            msg = kMsgKeyboardInterrupt;
        else if (PyErr_ExceptionMatches(PyExc_FileNotFoundError))
            msg = kMsgFileNotFound;
        if (msg) {
            PyErr_Clear();
            try {
                print({msg});  // a failing print replaces the consumed exception
            } catch (const PyError&) {
            }
        }
    }
    clean_up();
    if (PyErr_Occurred()) throw PyError{};
    return py_int(end == LoopEnd::RoiTooLarge ? 0 : n_);
}

// ---- source -----------------------------------------------------------------------------------

Recording::Opened Recording::open_source() {
    try {
        return open_camera();
    } catch (const PyError&) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw;
        PyErr_Clear();
    }
    // Not a camera: the capture the camera path may have made is dropped unreleased.
    cap_ = Ref();
    cam_ = -1;
    return open_file();
}

Recording::Opened Recording::open_camera() {
    Ref cam_obj = Ref::check(PyNumber_Long(input_));
    cam_ = to_int32(cam_obj.get());
    cam_obj = py_int(cam_);

    {
        bool dshow = is_win32() && interactive_;
        Ref cv2 = global(kCv2);
        if (dshow) {
            Ref api = getattr(cv2.get(), kCapDshow);
            cap_ = call_method(cv2.get(), kVideoCapture, {cam_obj.get(), api.get()});
        } else {
            cap_ = call_method(cv2.get(), kVideoCapture, {cam_obj.get()});
        }
    }
    auto set_prop = [&](PyObject* prop_name, long long value) {
        Ref cv2 = global(kCv2);
        Ref prop = getattr(cv2.get(), prop_name);
        Ref v = py_int(value);
        call_method(cap_.get(), kSet, {prop.get(), v.get()});
    };
    if (a_[P_WIDTH].i > 0) set_prop(kCapPropFrameWidth, a_[P_WIDTH].i);
    if (a_[P_HEIGHT].i > 0) set_prop(kCapPropFrameHeight, a_[P_HEIGHT].i);
    if (fps_arg_ > 0) set_prop(kCapPropFps, fps_arg_);
    if (a_[P_CONFIG].flag) set_prop(kCapPropSettings, 1);

    print({Ref::check(PyUnicode_FromFormat("Camera FPS set to %d", fps_arg_)).get()});
    {
        Ref datetime = global(kDatetime);
        start_ = call_method(datetime.get(), kNow);
    }
    auto get_prop = [&](PyObject* prop_name) {
        Ref cv2 = global(kCv2);
        Ref prop = getattr(cv2.get(), prop_name);
        Ref v = call_method(cap_.get(), kGet, {prop.get()});
        return to_int32(v.get());
    };
    const int32_t cam_w = get_prop(kCapPropFrameWidth);
    const int32_t cam_h = get_prop(kCapPropFrameHeight);
    print({Ref::check(PyUnicode_FromFormat("Frame size: %dx%d", cam_w, cam_h)).get()});

    const long long right = static_cast<long long>(a_[P_ROI_X].i) + a_[P_ROI_W].i;
    const long long bottom = static_cast<long long>(a_[P_ROI_Y].i) + a_[P_ROI_H].i;
    if (right > cam_w || bottom > cam_h) {
        print({kMsgRoi.get()});
        return Opened::RoiTooLarge;
    }
    fps_ = fps_arg_;
    fps_obj_ = py_int(fps_arg_);
    return Opened::Yes;
}

Recording::Opened Recording::open_file() {
    // Start of the recording: the file's modification time, in whole local seconds.
    {
        Ref datetime = global(kDatetime);
        Ref time_mod = global(kTime);
        Ref os = global(kOs);
        Ref os_path = getattr(os.get(), kPath);
        Ref mtime = call_method(os_path.get(), kGetmtime, {input_});
        Ref local = call_method(time_mod.get(), kLocaltime, {mtime.get()});
        Ref time_mod2 = global(kTime);
        Ref secs = call_method(time_mod2.get(), kMktime, {local.get()});
        start_ = call_method(datetime.get(), kFromtimestamp, {secs.get()});
    }
    {
        Ref cv2 = global(kCv2);
        cap_ = call_method(cv2.get(), kVideoCapture, {input_});
    }
    if (!truth(call_method(cap_.get(), kIsOpened).get()) && is_win32() && interactive_) {
        Ref cv2 = global(kCv2);
        Ref api = getattr(cv2.get(), kCapDshow);
        cap_ = call_method(cv2.get(), kVideoCapture, {input_, api.get()});
    }
    {
        Ref opened = call_method(cap_.get(), kIsOpened);
        print({kMsgInputFromFile.get(), input_, kMsgOpen.get(), opened.get()});
    }
    if (!truth(call_method(cap_.get(), kIsOpened).get())) {
        print({Ref::check(PyUnicode_FromFormat("Could not open video file %S for reading.", input_)).get()});
        return Opened::FileNotOpen;
    }
    {
        // The file's own rate, fractional rates included, drives the timestamps and the writer.
        Ref cv2 = global(kCv2);
        Ref prop = getattr(cv2.get(), kCapPropFps);
        Ref rate = call_method(cap_.get(), kGet, {prop.get()});
        fps_ = to_double(rate.get());
        fps_obj_ = py_float(fps_);
    }
    {
        Ref cv2 = global(kCv2);
        Ref prop = getattr(cv2.get(), kCapPropFrameCount);
        Ref count = call_method(cap_.get(), kGet, {prop.get()});
        Ref count_int = Ref::check(PyNumber_Long(count.get()));
        print({kMsgFramesToProcess.get(), count_int.get()});
    }
    return Opened::Yes;
}

// ---- output segments --------------------------------------------------------------------------

Ref Recording::segment_name(long long number) const {
    char digits[32];
    std::snprintf(digits, sizeof digits, "%03lld", number);
    return Ref::check(PyUnicode_FromFormat("%S_%s.%S", base_.get(), digits, ext_.get()));
}

void Recording::open_segment(PyObject* now) {
    const int32_t roi_w = a_[P_ROI_W].i, roi_h = a_[P_ROI_H].i;
    {
        Ref parts = call_method(output_, kRpartition, {kDot.get()});
        Ref items[3];
        unpack(parts.get(), items, 3, true);
        base_ = std::move(items[0]);
        ext_ = std::move(items[2]);
    }
    Ref outfname = a_[P_MAX_FRAMES].i > 0 ? segment_name(k_) : Ref::borrow(output_);
    // Never overwrite a video: try numbered names until one is free.
    for (;;) {
        Ref os = global(kOs);
        Ref os_path = getattr(os.get(), kPath);
        bool exists = truth(call_method(os_path.get(), kExists, {outfname.get()}).get());
        ++k_;
        if (!exists) break;
        outfname = segment_name(k_);
    }
    outfname_ = std::move(outfname);
    Ref tsfname = Ref::check(PyNumber_Add(outfname_.get(), kCsvSuffix));
    {
        Ref msg = Ref::check(
            PyUnicode_FromFormat("Video saved in %S\nTimestamps in %S", outfname_.get(), tsfname.get()));
        print({msg.get()});
    }

    last_ = Ref::borrow(now);
    Ref size_hw = tuple_of(py_int(roi_h), py_int(roi_w));
    Ref kw_dtype = tuple_of(Ref::borrow(kDtype.get()));
    for (Ref* target : {&blurred_prev_, &blurred_cur_}) {
        Ref np = global(kNp);
        Ref np2 = global(kNp);
        Ref uint8 = getattr(np2.get(), kUint8);
        *target = call_method(np.get(), kZeros, {size_hw.get(), uint8.get()}, kw_dtype.get());
    }

    Ref fourcc;
    {
        Ref cv2 = global(kCv2);
        Ref fn = getattr(cv2.get(), kVideoWriterFourcc);
        PyObject* chars_raw = PySequence_Tuple(fmt_);
        if (!chars_raw) {
            if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(fmt_)->tp_iter == nullptr &&
                !PySequence_Check(fmt_)) {
                PyErr_Clear();
                raise_format(PyExc_TypeError, "VideoWriter_fourcc() argument after * must be an iterable, not %.200s",
                             Py_TYPE(fmt_)->tp_name);
            }
            throw PyError{};
        }
        Ref chars = Ref::steal(chars_raw);
        fourcc = Ref::check(PyObject_Call(fn.get(), chars.get(), nullptr));
    }
    if (out_) call_method(out_.get(), kRelease);
    {
        Ref cv2 = global(kCv2);
        Ref size_wh = tuple_of(py_int(roi_w), py_int(roi_h));
        out_ = call_method(cv2.get(), kVideoWriter, {outfname_.get(), fourcc.get(), fps_obj_.get(), size_wh.get()});
    }
    {
        Ref kw_newline = tuple_of(Ref::borrow(kNewline.get()));
        PyObject* argv[] = {tsfname.get(), kModeW.get(), kEmpty.get()};
        // Replacing the previous file object closes it.
        tsfile_ = Ref::check(PyObject_Vectorcall(state.open, argv, 2, kw_newline.get()));
    }
    {
        Ref csv = global(kCsv);
        tswriter_ = call_method(csv.get(), kWriter, {tsfile_.get()});
        Ref header = Ref::check(PyList_New(3));
        PyObject* names[] = {kHeadInframe.get(), kHeadOutframe.get(), kHeadTimestamp.get()};
        for (Py_ssize_t i = 0; i < 3; ++i) {
            Py_INCREF(names[i]);
            PyList_SET_ITEM(header.get(), i, names[i]);
        }
        call_method(tswriter_.get(), kWriterow, {header.get()});
    }
    // A writer that did not open would drop every frame while the CSV lists them: stop here.
    if (!truth(call_method(out_.get(), kIsOpened).get()))
        raise_format(PyExc_RuntimeError, "Could not open video file %S for writing (fourcc %R)", outfname_.get(), fmt_);
    destroy_all_windows();
    outframe_ = 1;
    if (interactive_) {
        Ref cv2 = global(kCv2);
        Ref cv2b = global(kCv2);
        Ref flags = getattr(cv2b.get(), kWindowNormal);
        call_method(cv2.get(), kNamedWindow, {outfname_.get(), flags.get()});
    }
}

// ---- overlay and preview ----------------------------------------------------------------------

void Recording::overlay(PyObject* roi, PyObject* tstr) {
    Ref tw, th;
    {
        Ref cv2 = global(kCv2);
        Ref cv2b = global(kCv2);
        Ref face = getattr(cv2b.get(), kFontHersheySimplex);
        Ref scale = py_float(0.5);
        Ref thick = py_int(2);
        Ref size = call_method(cv2.get(), kGetTextSize, {tstr, face.get(), scale.get(), thick.get()});
        Ref outer[2];
        unpack(size.get(), outer, 2, true);
        Ref wh[2];
        unpack(outer[0].get(), wh, 2, true);
        tw = std::move(wh[0]);
        th = std::move(wh[1]);
    }
    Ref tx = py_int(a_[P_TX].i);
    Ref ty = py_int(a_[P_TY].i);
    {
        Ref cv2 = global(kCv2);
        Ref origin = tuple_of(Ref::borrow(tx.get()), Ref::borrow(ty.get()));
        Ref corner = tuple_of(Ref::check(PyNumber_Add(tx.get(), tw.get())),
                              Ref::check(PyNumber_Subtract(ty.get(), th.get())));
        Ref colour = colour_of(a_[P_TB].obj);
        Ref cv2b = global(kCv2);
        Ref filled = getattr(cv2b.get(), kFilled);
        call_method(cv2.get(), kRectangle, {roi, origin.get(), corner.get(), colour.get(), filled.get()});
    }
    {
        Ref cv2 = global(kCv2);
        Ref origin = tuple_of(Ref::borrow(tx.get()), Ref::borrow(ty.get()));
        Ref cv2b = global(kCv2);
        Ref face = getattr(cv2b.get(), kFontHersheySimplex);
        Ref scale = py_float(a_[P_FS].d);
        Ref colour = colour_of(a_[P_TC].obj);
        Ref thick = py_int(2);
        Ref cv2c = global(kCv2);
        Ref line = getattr(cv2c.get(), kLineAA);
        call_method(cv2.get(), kPutText,
              {roi, tstr, origin.get(), face.get(), scale.get(), colour.get(), thick.get(), line.get()});
    }
}

bool Recording::preview(PyObject* roi) {
    {
        Ref cv2 = global(kCv2);
        call_method(cv2.get(), kImshow, {outfname_.get(), roi});
    }
    Ref key;
    {
        Ref cv2 = global(kCv2);
        Ref one = py_int(1);
        Ref raw = call_method(cv2.get(), kWaitKey, {one.get()});
        Ref mask = py_int(255);
        key = Ref::check(PyNumber_And(raw.get(), mask.get()));
    }
    for (long stop : {113L, 27L}) {
        Ref code = py_int(stop);
        int eq = PyObject_RichCompareBool(key.get(), code.get(), Py_EQ);
        if (eq < 0) throw PyError{};
        if (eq) return true;
    }
    return false;
}

// ---- frame loop -------------------------------------------------------------------------------

Recording::LoopEnd Recording::frame_loop() {
    const int32_t roi_x = a_[P_ROI_X].i, roi_y = a_[P_ROI_Y].i, roi_w = a_[P_ROI_W].i, roi_h = a_[P_ROI_H].i;
    const long long right = static_cast<long long>(roi_x) + roi_w;
    const long long bottom = static_cast<long long>(roi_y) + roi_h;
    const double interval = a_[P_INTERVAL].d;
    const double duration = a_[P_DURATION].d;
    const int32_t max_frames = a_[P_MAX_FRAMES].i;
    const bool motion = a_[P_MOTION_BASED].flag;
    const bool timestamp = a_[P_TIMESTAMP].flag;
    const bool by_duration = duration > 0;
    const bool by_interval = interval > 0;
    const bool from_camera = cam_ >= 0;

    // Per-call constants: the crop index [roi_y:roi_y+roi_h, roi_x:roi_x+roi_w], the timedelta
    // keywords and the interval as a Python float.
    Ref crop_index;
    {
        Ref rows = Ref::check(PySlice_New(py_int(roi_y).get(), py_int(bottom).get(), nullptr));
        Ref cols = Ref::check(PySlice_New(py_int(roi_x).get(), py_int(right).get(), nullptr));
        crop_index = tuple_of(std::move(rows), std::move(cols));
    }
    Ref kw_delta = tuple_of(Ref::borrow(kDays.get()), Ref::borrow(kSeconds.get()));
    Ref zero = py_int(0);
    Ref interval_obj = py_float(interval);
    bool save = true;

    for (;;) {
        // Between frames: a frame's video write and its CSV row are both done, or both not begun,
        // so a pending Ctrl-C ends the recording here, through the KeyboardInterrupt handler.
        if (PyErr_CheckSignals() < 0) throw PyError{};
        SigintDeferral::raise_noted();

        Ref frame;
        {
            Ref result = call_method(cap_.get(), kRead);
            Ref items[2];
            unpack(result.get(), items, 2, true);
            frame = std::move(items[1]);
        }
        if (frame.get() == Py_None) return LoopEnd::Normal;

        Ref now;
        if (from_camera) {
            Ref datetime = global(kDatetime);
            now = call_method(datetime.get(), kNow);
        } else {
            if (fps_ == 0.0) raise(PyExc_ZeroDivisionError, "float division");
            Ref secs = py_float(static_cast<double>(n_) / fps_);
            Ref timedelta = global(kTimedelta);
            PyObject* argv[] = {zero.get(), secs.get()};
            Ref step = Ref::check(PyObject_Vectorcall(timedelta.get(), argv, 0, kw_delta.get()));
            now = Ref::check(PyNumber_Add(start_.get(), step.get()));
        }

        Ref shape = getattr(frame.get(), kShape);
        const int32_t fw = to_int32(Ref::check(PySequence_GetItem(shape.get(), 1)).get());
        const int32_t fh = to_int32(Ref::check(PySequence_GetItem(shape.get(), 0)).get());
        if (right > fw || bottom > fh) {
            print({kMsgRoi.get()});
            return LoopEnd::RoiTooLarge;
        }

        const long long inframe = n_;
        ++n_;
        if (outframe_ == 0) open_segment(now.get());

        double elapsed_s;
        Ref delta_s;
        {
            Ref elapsed = Ref::check(PyNumber_Subtract(now.get(), start_.get()));
            elapsed_s = to_double(call_method(elapsed.get(), kTotalSeconds).get());
            Ref delta = Ref::check(PyNumber_Subtract(now.get(), last_.get()));
            delta_s = call_method(delta.get(), kTotalSeconds);
        }
        if (by_duration && elapsed_s > duration) return LoopEnd::Normal;

        Ref roi;
        {
            Ref view = Ref::check(PyObject_GetItem(frame.get(), crop_index.get()));
            roi = call_method(view.get(), kCopy);
        }

        if (motion) {
            const Py_ssize_t ndim = PyObject_Size(shape.get());
            if (ndim < 0) throw PyError{};
            int r;
            if (ndim == 3) {
                r = check_motion_rgb(roi.get(), blurred_prev_.get(), blurred_cur_.get(), a_[P_THRESHOLD].i,
                                     a_[P_MIN_AREA].i, a_[P_KERNEL_WIDTH].i, a_[P_SHOW_DIFF].flag);
            } else {
                print({kMsgFrameDimension.get(), py_int(ndim).get()});
                r = check_motion_gray(roi.get(), blurred_prev_.get(), blurred_cur_.get(), a_[P_THRESHOLD].i,
                                      a_[P_MIN_AREA].i, a_[P_KERNEL_WIDTH].i, a_[P_SHOW_DIFF].flag);
            }
            if (r < 0) throw PyError{};
            save = r != 0;
        } else if (by_interval) {
            int ge = PyObject_RichCompareBool(delta_s.get(), interval_obj.get(), Py_GE);
            if (ge < 0) throw PyError{};
            save = ge != 0;
        }
        if (!save) continue;

        last_ = Ref::borrow(now.get());
        Ref tstr = call_method(now.get(), kIsoformat);
        if (timestamp) overlay(roi.get(), tstr.get());

        call_method(out_.get(), kWrite, {roi.get()});
        {
            Ref row = Ref::check(PyList_New(3));
            PyList_SET_ITEM(row.get(), 0, py_int(inframe).release());
            PyList_SET_ITEM(row.get(), 1, py_int(outframe_ - 1).release());
            PyList_SET_ITEM(row.get(), 2, tstr.release());
            call_method(tswriter_.get(), kWriterow, {row.get()});
        }

        // A segment holds exactly max_frames frames; the next frame read opens the next one.
        ++outframe_;
        if (max_frames > 0 && outframe_ > max_frames) outframe_ = 0;

        if (interactive_ && preview(roi.get())) return LoopEnd::Normal;
    }
}

// ---- clean-up ---------------------------------------------------------------------------------

// Runs every step, whatever the others do. The first step that raises replaces the exception in
// flight (which becomes its context); later clean-up errors are dropped.
void Recording::clean_up() noexcept {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    bool replaced = false;

    auto step = [&](auto&& body) {
        try {
            body();
            return;
        } catch (const PyError&) {
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (...) {
            PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in quarrin.snapwell");
        }
        if (replaced) {
            PyErr_Clear();
            return;
        }
        replaced = true;
        if (type) {
            PyObject *t2, *v2, *tb2;
            PyErr_Fetch(&t2, &v2, &tb2);  // before normalising: that may call Python
            PyErr_NormalizeException(&type, &value, &tb);
            PyErr_NormalizeException(&t2, &v2, &tb2);
            if (v2 && value) {
                if (tb) PyException_SetTraceback(value, tb);
                PyException_SetContext(v2, value);  // steals the reference to value
                value = nullptr;
            }
            Py_XDECREF(type);
            Py_XDECREF(value);
            Py_XDECREF(tb);
            type = t2;
            value = v2;
            tb = tb2;
        } else {
            PyErr_Fetch(&type, &value, &tb);
        }
    };

    step([&] { call_method(cap_.get(), kRelease); });
    step([&] {
        if (out_ && truth(call_method(out_.get(), kIsOpened).get())) call_method(out_.get(), kRelease);
    });
    step([&] {
        if (tsfile_) call_method(tsfile_.get(), kClose);
    });
    step([&] { destroy_all_windows(); });
    PyErr_Restore(type, value, tb);
}

}  // namespace

PyObject* py_vcapture(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return run_entry(sig_vcapture, args, nargsf, kwnames, [](const Arg* a) -> Ref {
        Recording rec(a);
        return rec.run();
    });
}

}  // namespace quarrin
