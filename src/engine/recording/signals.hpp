// Ctrl-C while a recording runs: noted when it arrives, raised as KeyboardInterrupt between two
// frames, so that a frame's video write and its CSV row are both done or both not begun.
//
// Python runs signal handlers wherever something checks for signals, and a recording's CSV writes
// do: a KeyboardInterrupt raised there could drop the row of a frame already in the video. So while
// the loop runs in the main thread, the default SIGINT handler is swapped for one that only notes
// the signal for this recording. Each recording has its own note: a recording in another thread
// never consumes it.
//
// For the front end's entry, a Python SIGTERM handler (a service stop) is deferred the same way:
// swapped for one that notes the signal, and called between two frames.
#pragma once

#include "core/runtime.hpp"

#include <atomic>
#include <memory>

namespace quarrin {

class SigintDeferral {
public:
    SigintDeferral() = default;
    SigintDeferral(const SigintDeferral&) = delete;
    SigintDeferral& operator=(const SigintDeferral&) = delete;
    ~SigintDeferral() { end_quietly(); }

    void begin(bool defer_sigterm = false);
    // KeyboardInterrupt for a Ctrl-C this recording noted; for a noted SIGTERM, what its own
    // handler raises.
    void raise_noted();
    void end();
    void end_quietly() noexcept;

private:
    Ref module_;
    Ref previous_;
    std::shared_ptr<std::atomic<bool>> noted_;  // shared with the handler this recording installed
    Ref term_handler_;                           // the Python SIGTERM handler deferred
    bool term_installed_ = false;                // the noting handler is in its place
    std::shared_ptr<std::atomic<bool>> term_noted_;
};

}  // namespace quarrin
