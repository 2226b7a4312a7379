// Blocking calls on a thread of their own (see blocking.hpp).
#include "recording/blocking.hpp"

#include "recording/names.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#if defined(__linux__)
#include <pthread.h>
#endif

namespace quarrin {

namespace {
std::atomic<long long> abandoned_calls{0};
constexpr std::chrono::milliseconds kStep{50};
}  // namespace

// What the caller and the worker share. The references in it are only touched with the
// interpreter lock held; the flags with the mutex.
struct BlockingCalls::Shared {
    std::mutex mutex;
    std::condition_variable changed;
    std::thread thread;
    Ref fn, args, capture;  // the call, and what to release if it is abandoned
    bool pending = false;    // a call waits for the worker, or runs
    bool done = false;       // its result (or error) waits for the caller
    bool abandoned = false;  // the caller went away: the worker cleans up and ends
    bool quit = false;       // an idle worker is to end
    Ref result;
    PendingError error;

    // The capture of a call nobody waits for any more; an error here goes nowhere.
    void release_capture(PyObject* returned) noexcept {
        PyObject* target = capture ? capture.get() : returned;
        if (target && target != Py_None && !attempt([&] { call_method(target, n_release); })) PyErr_Clear();
    }

    // Drops the call's references (interpreter lock held).
    void clear() noexcept {
        fn = Ref();
        args = Ref();
        capture = Ref();
        result = Ref();
        error = PendingError();
    }

    void work() {
#if defined(__linux__)
        pthread_setname_np(pthread_self(), "quarrin-live");
#endif
        const PyGILState_STATE gil = PyGILState_Ensure();
        for (;;) {
            bool run = false;
            Py_BEGIN_ALLOW_THREADS
            {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait(lock, [&] { return pending || quit; });
                run = pending;
            }
            Py_END_ALLOW_THREADS
            if (!run) break;
            Ref out;
            PendingError raised;
            if (!attempt([&] { out = Ref::check(PyObject_Call(fn.get(), args.get(), nullptr)); }))
                raised = PendingError::fetch();
            bool left = false;
            {
                std::lock_guard<std::mutex> lock(mutex);
                pending = false;
                left = abandoned;
                if (!left) {
                    result = std::move(out);
                    error = std::move(raised);
                    done = true;
                }
            }
            changed.notify_all();
            if (left) {
                // Nobody waits for this result: it is released here, and any error goes nowhere.
                release_capture(out.get());
                out = Ref();
                raised = PendingError();
                clear();
                --abandoned_calls;
                break;
            }
        }
        PyGILState_Release(gil);
    }
};

long long BlockingCalls::left_running() noexcept { return abandoned_calls.load(); }

void BlockingCalls::start() {
    shared_ = std::make_shared<Shared>();
    std::shared_ptr<Shared> shared = shared_;
    shared_->thread = std::thread([shared] { shared->work(); });
}

Ref BlockingCalls::run(Ref fn, Ref args, Ref capture, const Tick& tick) {
    if (!shared_) start();
    Shared& s = *shared_;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.fn = std::move(fn);
        s.args = std::move(args);
        s.capture = std::move(capture);
        s.pending = true;
        s.done = false;
    }
    s.changed.notify_all();
    for (;;) {
        bool done = false;
        Py_BEGIN_ALLOW_THREADS
        {
            std::unique_lock<std::mutex> lock(s.mutex);
            done = s.changed.wait_for(lock, kStep, [&] { return s.done; });
        }
        Py_END_ALLOW_THREADS
        if (done) break;
        bool go_on = false;
        try {
            go_on = tick();
        } catch (...) {
            set_error_from_current_exception();
            ErrorStash stash;
            give_up();
            throw PyError{};
        }
        if (!go_on) {
            give_up();
            return Ref();
        }
    }
    std::lock_guard<std::mutex> lock(s.mutex);
    s.done = false;
    s.fn = Ref();
    s.args = Ref();
    s.capture = Ref();
    Ref result = std::move(s.result);
    PendingError error = std::move(s.error);
    if (error) {
        error.restore();
        throw PyError{};
    }
    return result;
}

// The caller stops waiting. A call that finished meanwhile is cleaned up here, and its worker ends
// as an idle one does; otherwise the worker is left to finish the call, clean up and end.
void BlockingCalls::give_up() noexcept {
    gave_up_ = true;
    Shared& s = *shared_;
    bool finished = false;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        finished = s.done;
        if (!finished) {
            s.abandoned = true;
            ++abandoned_calls;
        }
    }
    if (finished) {
        ErrorStash stash;
        Ref out = std::move(s.result);
        s.release_capture(out.get());
        out = Ref();
        s.clear();
        s.done = false;
        return;  // the idle worker is ended by the destructor
    }
    s.thread.detach();
    shared_.reset();
}

BlockingCalls::~BlockingCalls() {
    if (!shared_) return;
    Shared& s = *shared_;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.quit = true;
    }
    s.changed.notify_all();
    Py_BEGIN_ALLOW_THREADS
    s.thread.join();
    Py_END_ALLOW_THREADS
    s.clear();
}

}  // namespace quarrin
