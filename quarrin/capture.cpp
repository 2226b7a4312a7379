// vcapture and its companion entry: the signatures, the orchestration of one recording (early
// checks, source, the frame loop inside the protected region, clean-up) and the sequential driver.
// The pipelined driver (pipeline.cpp) feeds the same FrameRules from a reader thread and hands
// kept frames to a writer thread.
//
// Shape of a call:
//   1. early checks of the region of interest, blur and overlay colours (nothing is opened yet);
//   2. open the source (camera, or file on any ValueError of the camera path);
//   3. the frame loop inside the protected region: KeyboardInterrupt and FileNotFoundError end
//      it with a message, every way out runs the clean-up (each step runs even if another raised).
#include "capture.hpp"

#include "motion.hpp"
#include "pipeline.hpp"
#include "recording.hpp"

#include <cstddef>

namespace quarrin {

// ---- signatures -----------------------------------------------------------------------------------

namespace {

const Name n_input_("input_"), n_output("output"), n_fmt("fmt"), n_fps("fps"), n_interactive("interactive"),
    n_width("width"), n_height("height"), n_roi_x("roi_x"), n_roi_y("roi_y"), n_roi_w("roi_w"), n_roi_h("roi_h"),
    n_interval("interval"), n_duration("duration"), n_max_frames("max_frames"), n_motion_based("motion_based"),
    n_config("config"), n_tb("tb"), n_tc("tc"), n_tx("tx"), n_ty("ty"), n_fs("fs"),
    n_progress("progress"), n_pipeline("pipeline");
const Name n_msg_keyboard_interrupt("Caught keyboard interrupt"),
    n_msg_file_not_found("Could not find one or more file paths");
const Name n_stop_end("end"), n_stop_key("key"), n_stop_interrupt("interrupt"),
    n_stop_roi("roi"), n_stop_unopened("unopened");

#define CAPTURE_FIELD(name, kind) {&n_##name, Kind::kind, offsetof(CaptureArgs, name)}
constexpr Param capture_params[] = {
    CAPTURE_FIELD(input_, Text), CAPTURE_FIELD(output, Text), CAPTURE_FIELD(fmt, Text),
    CAPTURE_FIELD(fps, Integer), CAPTURE_FIELD(interactive, Flag), CAPTURE_FIELD(width, Integer),
    CAPTURE_FIELD(height, Integer), CAPTURE_FIELD(roi_x, Integer), CAPTURE_FIELD(roi_y, Integer),
    CAPTURE_FIELD(roi_w, Integer), CAPTURE_FIELD(roi_h, Integer), CAPTURE_FIELD(interval, Number),
    CAPTURE_FIELD(duration, Number), CAPTURE_FIELD(max_frames, Integer), CAPTURE_FIELD(motion_based, Flag),
    CAPTURE_FIELD(config, Flag), CAPTURE_FIELD(threshold, Integer), CAPTURE_FIELD(min_area, Integer),
    CAPTURE_FIELD(kernel_width, Integer), CAPTURE_FIELD(timestamp, Flag), CAPTURE_FIELD(show_diff, Flag),
    {&n_tb, Kind::Array, offsetof(CaptureArgs, tb), Elem::Int, 1},
    {&n_tc, Kind::Array, offsetof(CaptureArgs, tc), Elem::Int, 1},
    CAPTURE_FIELD(tx, Integer), CAPTURE_FIELD(ty, Integer), CAPTURE_FIELD(fs, Number),
};
#undef CAPTURE_FIELD
constexpr int kCaptureParams = count_of(capture_params);

// vcapture's parameters (the struct comes first in RecordArgs, so their offsets hold), then two.
struct RecordParams {
    Param params[kCaptureParams + 2];
    constexpr RecordParams() : params{} {
        for (int i = 0; i < kCaptureParams; ++i) params[i] = capture_params[i];
        params[kCaptureParams] = {&n_progress, Kind::Object, offsetof(RecordArgs, progress)};
        params[kCaptureParams + 1] = {&n_pipeline, Kind::Flag, offsetof(RecordArgs, pipeline)};
    }
};
constexpr RecordParams record_params;
static_assert(offsetof(RecordArgs, capture) == 0, "vcapture's fields must keep their offsets");
static_assert(count_of(record_params.params) <= kMaxParams, "HeldViews too small");

const RecordArgs record_defaults{};

}  // namespace

const Signature sig_vcapture = {"vcapture", "quarrin.snapwell.vcapture", 80, capture_params, kCaptureParams,
                                kCaptureParams, nullptr};
const Signature sig_record = {"record", "quarrin._recorder.record", 80, record_params.params,
                              count_of(record_params.params), kCaptureParams, &record_defaults};

// ---- one recording --------------------------------------------------------------------------------

namespace {

struct Outcome {
    long long frames_read = 0;
    long long frames_saved = 0;
    Stopped stopped = Stopped::End;
};

// Kept frames go straight into the one open segment.
class DirectSink final : public FrameSink {
public:
    DirectSink(const CaptureArgs& a, const Source& source, Segment& segment)
        : a_(a), source_(source), segment_(segment) {}
    void open_segment(PyObject* name) override {
        segment_.open(name, a_.fmt, source_.writer_fps(), a_.roi_w, a_.roi_h);
    }
    void write(Ref roi, long long inframe, long long outframe, Ref stamp) override {
        segment_.write(roi.get(), inframe, outframe, std::move(stamp));
    }

private:
    const CaptureArgs& a_;
    const Source& source_;
    Segment& segment_;
};

// The sequential driver: read, frame time, then the rules, one frame after another.
Stopped run_sequential(Source& source, FrameRules& rules, SigintDeferral& sigint) {
    for (;;) {
        // Between frames: a frame's video write and its CSV row are both done, or both not begun,
        // so a pending Ctrl-C ends the recording here, through the KeyboardInterrupt handler.
        require(PyErr_CheckSignals());
        sigint.raise_noted();
        Ref frame = source.read();
        if (frame.get() == Py_None) return Stopped::End;
        Ref now = source.frame_time(rules.frames_read());
        Stopped why = Stopped::End;
        if (rules.take(frame.get(), now.get(), why) == FrameRules::Next::Stop) return why;
    }
}

enum class Driver { Sequential, Pipelined };
// vcapture reports a missing path with a message and returns; the front end's entry raises it.
enum class MissingPath { Report, Raise };

class Recording {
public:
    Recording(const CaptureArgs& a, PyObject* progress, Driver driver, MissingPath missing_path)
        : a_(a), progress_(progress), driver_(driver), missing_path_(missing_path) {}
    Outcome run();

private:
    Stopped protected_loop(FrameRules& rules);
    void end_of_loop_messages(Outcome& outcome);
    void close() noexcept;

    const CaptureArgs& a_;
    PyObject* progress_;
    Driver driver_;
    MissingPath missing_path_;
    Source source_;
    Segment segment_;
};

Outcome Recording::run() {
    check_capture_arguments(a_);
    switch (source_.open(a_)) {
        case Source::Opened::Yes: break;
        case Source::Opened::RoiTooLarge: return {0, 0, Stopped::Roi};
        case Source::Opened::FileNotOpen: return {0, 0, Stopped::Unopened};
    }
    DirectSink direct(a_, source_, segment_);
    FrameRules rules(a_, source_.start(), progress_, direct);
    Outcome outcome;
    outcome.stopped = protected_loop(rules);
    outcome.frames_read = rules.frames_read();
    outcome.frames_saved = rules.frames_saved();
    end_of_loop_messages(outcome);
    close();
    require_no_error();
    return outcome;
}

// Runs the loop and leaves any error in the indicator, with the Ctrl-C handler put back.
Stopped Recording::protected_loop(FrameRules& rules) {
    Stopped stopped = Stopped::End;
    SigintDeferral sigint;
    attempt([&] {
        sigint.begin();
        stopped = driver_ == Driver::Pipelined ? run_pipelined(a_, source_, segment_, rules, sigint)
                             : run_sequential(source_, rules, sigint);
        sigint.end();
        sigint.raise_noted();  // a Ctrl-C during the last frame still counts
    });
    sigint.end_quietly();
    return stopped;
}

// KeyboardInterrupt (and, for vcapture, FileNotFoundError) end the recording with a message.
void Recording::end_of_loop_messages(Outcome& outcome) {
    if (!PyErr_Occurred()) return;
    PyObject* msg = nullptr;
    if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) {
        msg = n_msg_keyboard_interrupt;
        outcome.stopped = Stopped::Interrupt;
    } else if (missing_path_ == MissingPath::Report && PyErr_ExceptionMatches(PyExc_FileNotFoundError)) {
        msg = n_msg_file_not_found;
    }
    if (!msg) return;
    PyErr_Clear();
    attempt([&] { print({msg}); });  // a failing print replaces the consumed exception
}

// The parts' own clean-up, each step run whatever the others do.
void Recording::close() noexcept {
    CleanupChain chain;
    chain.step([&] { source_.close(); });
    segment_.close(chain);
    chain.step([&] { destroy_all_windows(); });
}

PyObject* stop_name(Stopped stopped) {
    switch (stopped) {
        case Stopped::End: return n_stop_end;
        case Stopped::Duration: return n_duration;
        case Stopped::Key: return n_stop_key;
        case Stopped::Interrupt: return n_stop_interrupt;
        case Stopped::Roi: return n_stop_roi;
        case Stopped::Unopened: break;
    }
    return n_stop_unopened;
}

}  // namespace

PyObject* py_vcapture(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return run_entry<CaptureArgs>(sig_vcapture, args, nargsf, kwnames, [](const CaptureArgs& a) {
        const Outcome outcome = Recording(a, Py_None, Driver::Sequential, MissingPath::Report).run();
        return py_int(outcome.stopped == Stopped::Roi ? 0 : outcome.frames_read);
    });
}

// (frames_read, frames_saved, stopped). A FileNotFoundError is raised, not consumed: the front
// end reports it as the failure it is.
PyObject* py_record(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return run_entry<RecordArgs>(sig_record, args, nargsf, kwnames, [](const RecordArgs& a) {
        const Driver driver = a.pipeline ? Driver::Pipelined : Driver::Sequential;
        const Outcome outcome = Recording(a.capture, a.progress, driver, MissingPath::Raise).run();
        const long long read = outcome.stopped == Stopped::Roi ? 0 : outcome.frames_read;
        return tuple_of(py_int(read), py_int(outcome.frames_saved), Ref::borrow(stop_name(outcome.stopped)));
    });
}

}  // namespace quarrin
