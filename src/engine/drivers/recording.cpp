// One recording (see recording.hpp) and the sequential driver.
//
// Shape of a call:
//   1. early checks of the region of interest, blur and overlay colours (nothing is opened yet);
//   2. open the source (a reader object; or a camera, or a file on any ValueError of the camera path);
//   3. the frame loop inside the protected region: KeyboardInterrupt (and, for vcapture,
//      FileNotFoundError) end it with a message, every way out runs the clean-up (each step runs
//      even if another raised).
#include "drivers/recording.hpp"

#include "recording/names.hpp"

namespace quarrin {

Ref now_time() { return call_method(global(n_datetime).get(), n_now); }

namespace {

const Name n_msg_keyboard_interrupt("Caught keyboard interrupt"),
    n_msg_file_not_found("Could not find one or more file paths");

// The sequential driver: read, frame time, then the rules, one frame after another.
Stopped run_sequential(const RecordArgs& a, Source& source, FrameRules& rules, SigintDeferral& sigint) {
    // Between frames: a frame's video write and its CSV row are both done, or both not begun, so a
    // pending Ctrl-C ends the recording here, through the KeyboardInterrupt handler.
    auto signals = [&] {
        require(PyErr_CheckSignals());
        sigint.raise_noted();
    };
    // While a live source is awaited (a frame, or the signal back): signals, and the duration.
    bool expired = false;
    auto tick = [&] {
        signals();
        expired = rules.expired(now_time().get());
        return !expired;
    };
    for (;;) {
        signals();
        Source::Frame frame = source.read(tick);
        if (!frame.image) return Stopped::Duration;
        if (frame.image.get() == Py_None) {
            if (!source.is_live()) return Stopped::End;
            // The signal is lost: the segment is finished while the source is awaited.
            rules.lost(now_time().get());
            if (a.reconnect > 0) frame = source.regain(a.reconnect, tick);
            if (frame.image.get() == Py_None) return expired ? Stopped::Duration : Stopped::Lost;
            signals();  // a stop that came with the first frame back wins
            rules.back(now_time().get());
        }
        Stopped why = Stopped::End;
        if (rules.take(frame.image.get(), frame.time.get(), frame.payload.get(), frame.key, why) ==
            FrameRules::Next::Stop)
            return why;
    }
}

class Recording {
public:
    Recording(const RecordArgs& a, const Mode& mode, Driver driver)
        : a_(a), mode_(mode), driver_(driver), console_(a.log, a.notify), source_(console_) {}
    Outcome run();

private:
    Stopped protected_loop(Segment& segment, FrameRules& rules);
    void end_of_loop_messages(Outcome& outcome);
    void close(Segment& segment) noexcept;

    const RecordArgs& a_;
    const Mode& mode_;
    Driver driver_;
    Console console_;
    Source source_;
};

Outcome Recording::run() {
    check_record_arguments(a_);
    switch (source_.open(a_)) {
        case Source::Opened::Yes: break;
        case Source::Opened::RoiTooLarge: return {0, 0, Stopped::Roi, {}, {}, {}};
        case Source::Opened::FileNotOpen: return {0, 0, Stopped::Unopened, {}, {}, {}};
    }
    Segment segment(a_, source_.writer_fps());
    DirectSink direct(segment);
    FrameRules rules(a_, mode_, console_, source_.start(), direct);
    Outcome outcome;
    outcome.stopped = protected_loop(segment, rules);
    outcome.frames_read = rules.frames_read();
    end_of_loop_messages(outcome);
    bool clean = !PyErr_Occurred();
    // The last event ends here: a Ctrl-C in its callback is one in the clean-up, like those below.
    if (clean) clean = attempt([&] { rules.finish(); }) || PyErr_ExceptionMatches(PyExc_KeyboardInterrupt);
    close(segment);
    if (mode_.claim == Mode::Claim::Create) segment.give_back_unopened(rules.segment_name());
    if (clean && mode_.late_interrupt == Mode::LateInterrupt::Stop && PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) {
        PyErr_Clear();
        outcome.stopped = Stopped::Interrupt;
    }
    require_no_error();
    outcome.segments = segment.take_written();
    outcome.events = rules.take_events();
    outcome.gaps = rules.take_gaps();
    // What the segments hold: the rules count a frame as saved when they hand it on, and a writer
    // stage that stopped leaves the frames still queued for it unwritten. A scan writes nothing:
    // its count is the rules' own.
    if (a_.scan) outcome.frames_saved = rules.frames_saved();
    for (const Written& w : outcome.segments) outcome.frames_saved += w.frames;
    return outcome;
}

// Runs the loop and leaves any error in the indicator, with the Ctrl-C handler put back.
Stopped Recording::protected_loop(Segment& segment, FrameRules& rules) {
    Stopped stopped = Stopped::End;
    SigintDeferral sigint;
    attempt([&] {
        sigint.begin(mode_.sigterm == Mode::Sigterm::Defer);
        stopped = driver_ == Driver::Pipelined ? run_pipelined(a_, source_, segment, rules, sigint)
                                               : run_sequential(a_, source_, rules, sigint);
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
    } else if (mode_.missing_path == Mode::MissingPath::Report && PyErr_ExceptionMatches(PyExc_FileNotFoundError)) {
        msg = n_msg_file_not_found;
    }
    if (!msg) return;
    PyErr_Clear();
    attempt([&] { console_.line({msg}); });  // a failing print replaces the consumed exception
}

// The parts' own clean-up, each step run whatever the others do.
void Recording::close(Segment& segment) noexcept {
    CleanupChain chain;
    chain.step([&] { source_.close(); });
    segment.close(chain);
    chain.step([&] { destroy_all_windows(); });
}

}  // namespace

Outcome record(const RecordArgs& a, const Mode& mode, Driver driver) { return Recording(a, mode, driver).run(); }

}  // namespace quarrin
