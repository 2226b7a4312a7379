// vcapture and its companion entry (see capture.hpp): the signatures, the modes of the two
// entries and the Python form of what a recording did. The recording itself runs in the drivers.
#include "entries/capture.hpp"

#include "drivers/recording.hpp"
#include "motion/motion.hpp"
#include "recording/names.hpp"
#include "recording/reports.hpp"

#include <cstddef>

namespace quarrin {

// ---- signatures -----------------------------------------------------------------------------------

namespace {

const Name n_input_("input_"), n_output("output"), n_fmt("fmt"), n_interactive("interactive"),
    n_width("width"), n_height("height"), n_roi_x("roi_x"), n_roi_y("roi_y"), n_roi_w("roi_w"), n_roi_h("roi_h"),
    n_interval("interval"), n_duration("duration"), n_max_frames("max_frames"), n_motion_based("motion_based"),
    n_config("config"), n_tb("tb"), n_tc("tc"), n_tx("tx"), n_ty("ty"), n_fs("fs"),
    n_progress("progress"), n_pipeline("pipeline"), n_log("log"), n_video_writer("video_writer"),
    n_stamps_writer("stamps_writer"), n_events("events"),
    n_before("before"), n_after("after"), n_min_event("min_event"), n_mask("mask"), n_max_changed("max_changed"),
    n_detect_width("detect_width"), n_hold_frames("hold_frames"), n_on_event_start("on_event_start"),
    n_on_event("on_event"), n_scan("scan"), n_reader("reader"), n_live("live"), n_open_timeout("open_timeout"),
    n_reconnect("reconnect"), n_notify("notify"), n_on_signal("on_signal"), n_segment_seconds("segment_seconds"),
    n_on_segment("on_segment"), n_namer("namer"), n_on_resize("on_resize"), n_boxes("boxes"),
    n_snapshots("snapshots"), n_split_events("split_events"), n_watcher("watcher");
const Name n_stop_end("end"), n_stop_key("key"), n_stop_interrupt("interrupt"), n_stop_roi("roi"),
    n_stop_unopened("unopened");

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

// The front end's own parameters, all optional.
constexpr Param front_end_params[] = {
    {&n_progress, Kind::Object, offsetof(RecordArgs, progress)},
    {&n_pipeline, Kind::Flag, offsetof(RecordArgs, pipeline)},
    {&n_log, Kind::Object, offsetof(RecordArgs, log)},
    {&n_video_writer, Kind::Object, offsetof(RecordArgs, video_writer)},
    {&n_stamps_writer, Kind::Object, offsetof(RecordArgs, stamps_writer)},
    {&n_events, Kind::Flag, offsetof(RecordArgs, events)},
    {&n_before, Kind::Number, offsetof(RecordArgs, before)},
    {&n_after, Kind::Number, offsetof(RecordArgs, after)},
    {&n_min_event, Kind::Number, offsetof(RecordArgs, min_event)},
    {&n_mask, Kind::Array, offsetof(RecordArgs, mask), Elem::UChar, 2},
    {&n_max_changed, Kind::Number, offsetof(RecordArgs, max_changed)},
    {&n_detect_width, Kind::Integer, offsetof(RecordArgs, detect_width)},
    {&n_hold_frames, Kind::Integer, offsetof(RecordArgs, hold_frames)},
    {&n_on_event_start, Kind::Object, offsetof(RecordArgs, on_event_start)},
    {&n_on_event, Kind::Object, offsetof(RecordArgs, on_event)},
    {&n_scan, Kind::Flag, offsetof(RecordArgs, scan)},
    {&n_reader, Kind::Object, offsetof(RecordArgs, reader)},
    {&n_live, Kind::Flag, offsetof(RecordArgs, live)},
    {&n_open_timeout, Kind::Number, offsetof(RecordArgs, open_timeout)},
    {&n_reconnect, Kind::Number, offsetof(RecordArgs, reconnect)},
    {&n_notify, Kind::Object, offsetof(RecordArgs, notify)},
    {&n_on_signal, Kind::Object, offsetof(RecordArgs, on_signal)},
    {&n_segment_seconds, Kind::Number, offsetof(RecordArgs, segment_seconds)},
    {&n_on_segment, Kind::Object, offsetof(RecordArgs, on_segment)},
    {&n_namer, Kind::Object, offsetof(RecordArgs, namer)},
    {&n_on_resize, Kind::Object, offsetof(RecordArgs, on_resize)},
    {&n_boxes, Kind::Flag, offsetof(RecordArgs, boxes)},
    {&n_snapshots, Kind::Flag, offsetof(RecordArgs, snapshots)},
    {&n_split_events, Kind::Flag, offsetof(RecordArgs, split_events)},
    {&n_watcher, Kind::Object, offsetof(RecordArgs, watcher)},
};
constexpr int kFrontEndParams = count_of(front_end_params);

// vcapture's parameters but fmt (the struct comes first in RecordArgs, so their offsets hold),
// then the front end's. The front end writes through a video_writer object: a codec is its own.
constexpr int kRecordCaptureParams = kCaptureParams - 1;
struct RecordParams {
    Param params[kRecordCaptureParams + kFrontEndParams];
    constexpr RecordParams() : params{} {
        int at = 0;
        for (int i = 0; i < kCaptureParams; ++i)
            if (capture_params[i].name != &n_fmt) params[at++] = capture_params[i];
        for (int i = 0; i < kFrontEndParams; ++i) params[at++] = front_end_params[i];
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
                              count_of(record_params.params), kRecordCaptureParams, &record_defaults};

// ---- the two entries -----------------------------------------------------------------------------

namespace {

// vcapture's ways, as it has always recorded.
constexpr Mode kVcaptureMode{};
// The front end's: a missing path is raised, names are claimed, no segment is left empty, a
// Ctrl-C in the clean-up still returns what was written, and SIGTERM waits for a frame boundary.
constexpr Mode kRecordMode{Mode::MissingPath::Raise, Mode::Opening::OnFirstWrite, Mode::Claim::Create,
                           Mode::LateInterrupt::Stop, Mode::Sigterm::Defer};

PyObject* stop_name(Stopped stopped) {
    switch (stopped) {
        case Stopped::End: return n_stop_end;
        case Stopped::Duration: return n_duration;
        case Stopped::Key: return n_stop_key;
        case Stopped::Interrupt: return n_stop_interrupt;
        case Stopped::Roi: return n_stop_roi;
        case Stopped::Lost: return n_text_lost;
        case Stopped::Unopened: break;
    }
    return n_stop_unopened;
}

// ---- the Python form of an outcome ------------------------------------------------------------------

PyTypeObject* outcome_type = nullptr;

PyStructSequence_Field outcome_fields[] = {
    {"frames_read", "frames read from the source"},
    {"frames_saved", "frames written, in all segments"},
    {"stopped", "why the recording ended: end, duration, key, interrupt, roi, unopened or lost"},
    {"segments", "a Written per segment, in the order they were opened"},
    {"events", "an Event per motion event, in order (with events or scan)"},
    {"gaps", "(lost, back) times of a live source's lost signal; back None: it did not come back"},
    {nullptr, nullptr}};
PyStructSequence_Desc outcome_desc = {"quarrin._recorder.Outcome", "What a recording did.", outcome_fields, 6};

template <typename T, typename Make>
Ref tuple_from(const std::vector<T>& items, Make make) {
    Ref t = Ref::check(PyTuple_New(Py_ssize_t(items.size())));
    for (size_t i = 0; i < items.size(); ++i) PyTuple_SET_ITEM(t.get(), Py_ssize_t(i), make(items[i]).release());
    return t;
}

Ref outcome_object(const Outcome& outcome) {
    const long long read = outcome.stopped == Stopped::Roi ? 0 : outcome.frames_read;
    Ref segments = tuple_from(outcome.segments, written_object);
    Ref events = tuple_from(outcome.events, [](const Event& e) { return event_object(e); });
    Ref gaps = tuple_from(outcome.gaps, [](const std::pair<Ref, Ref>& g) {
        return tuple_of(Ref::borrow(g.first.get()), Ref::borrow(g.second ? g.second.get() : Py_None));
    });
    return struct_of(outcome_type, {py_int(read).get(), py_int(outcome.frames_saved).get(),
                                    stop_name(outcome.stopped), segments.get(), events.get(), gaps.get()});
}

}  // namespace

void add_outcome_types(PyObject* module) {
    if (!outcome_type) {
        outcome_type = PyStructSequence_NewType(&outcome_desc);
        if (!outcome_type) throw PyError{};
    }
    require(PyModule_AddObjectRef(module, "Outcome", reinterpret_cast<PyObject*>(outcome_type)));
    add_report_types(module);
}

PyObject* py_vcapture(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return run_entry<RecordArgs>(sig_vcapture, args, nargsf, kwnames, [](const RecordArgs& a) {
        const Outcome outcome = record(a, kVcaptureMode, Driver::Sequential);
        return py_int(outcome.stopped == Stopped::Roi ? 0 : outcome.frames_read);
    });
}

// A FileNotFoundError is raised, not consumed: the front end reports it as the failure it is.
PyObject* py_record(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return run_entry<RecordArgs>(sig_record, args, nargsf, kwnames, [](const RecordArgs& a) {
        const Outcome outcome = record(a, kRecordMode, a.pipeline ? Driver::Pipelined : Driver::Sequential);
        return outcome_object(outcome);
    });
}

}  // namespace quarrin
