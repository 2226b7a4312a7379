// Calls that may block for many seconds (a live source's open and read: OpenCV waits inside them,
// with the interpreter lock released, up to its open or read timeout), made on a thread of their
// own so that the recording's thread stays free to act on Ctrl-C, SIGTERM or a stop.
//
// The caller waits for each call in steps of 50 ms, running tick() between them. When tick() gives
// up (or raises) the call is abandoned: it goes on on its worker thread, which then hands its
// capture is released there, and it ends. An abandoned call touches
// nothing of the recording afterwards, and its thread does not keep the process alive.
#pragma once

#include "core/runtime.hpp"

#include <functional>
#include <memory>

namespace quarrin {

class BlockingCalls {
public:
    using Tick = std::function<bool()>;
    BlockingCalls() = default;
    BlockingCalls(const BlockingCalls&) = delete;
    BlockingCalls& operator=(const BlockingCalls&) = delete;
    ~BlockingCalls();  // an idle worker ends (joined); a busy one was abandoned and ends by itself

    // Calls fn(*args) on the worker, with the interpreter lock, and returns its result or raises
    // what it raised. Null when tick() gave up; what tick() raises is raised. Either way the call is
    // abandoned: once it returns, the worker calls release() on `capture`, or (with none) on the
    // capture the call returned. The worker owns what it is handed: nothing of the caller's is
    // touched after a give-up.
    Ref run(Ref fn, Ref args, Ref capture, const Tick& tick);

    // The last call was abandoned (its capture is the worker's now).
    bool gave_up() const noexcept { return gave_up_; }

    // Calls abandoned and still running, in the whole process.
    static long long left_running() noexcept;

private:
    struct Shared;
    void start();
    void give_up() noexcept;
    std::shared_ptr<Shared> shared_;
    bool gave_up_ = false;
};

}  // namespace quarrin
