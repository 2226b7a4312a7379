// The pipelined driver. Three stages, each a thread that holds the interpreter lock only while it
// runs Python code (OpenCV releases it inside read, write and its image functions):
//   reader  decodes ahead: frame and frame time (a camera's wall clock as the frame is read);
//   main    the calling thread: the frame rules, in frame order, and Ctrl-C;
//   writer  encodes kept frames, writes their rows and opens each segment when told to.
// Bounded queues join them, so memory stays flat on an endless camera. Any stage that stops (end
// of input, a rule, Ctrl-C, an error) stops the others; the writer still writes every frame it
// was handed. The first error is the one raised, after every thread has been joined. A read error
// counts only once the main stage has taken every frame read before it: a rule that stops the
// recording earlier never reached the frame that failed, as in the sequential driver.
#include "drivers/recording.hpp"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

#if defined(__linux__)
#include <pthread.h>
#endif

namespace quarrin {
namespace {

constexpr size_t kQueueFrames = 4;
constexpr std::chrono::milliseconds kSignalTick{50};

// A bounded queue of items holding references. Callers hold the interpreter lock; it is released
// only while waiting, and items move without touching reference counts.
template <typename T>
class BoundedQueue {
public:
    enum class Pop { Item, Closed, Tick };

    // Waits for room; false when the queue was closed (the item stays with the caller).
    bool push(T& item) {
        bool pushed = false;
        Py_BEGIN_ALLOW_THREADS
        {
            std::unique_lock<std::mutex> lock(mutex_);
            not_full_.wait(lock, [&] { return closed_ || items_.size() < kQueueFrames; });
            if (!closed_) {
                items_.push_back(std::move(item));
                pushed = true;
                not_empty_.notify_one();
            }
        }
        Py_END_ALLOW_THREADS
        return pushed;
    }

    // Waits for an item (at most `tick` when given); a closed queue still hands out what it holds.
    Pop pop(std::optional<T>& out, std::optional<std::chrono::milliseconds> tick = std::nullopt) {
        Pop result = Pop::Tick;
        Py_BEGIN_ALLOW_THREADS
        {
            std::unique_lock<std::mutex> lock(mutex_);
            auto ready = [&] { return closed_ || !items_.empty(); };
            if (tick) {
                not_empty_.wait_for(lock, *tick, ready);
            } else {
                not_empty_.wait(lock, ready);
            }
            if (!items_.empty()) {
                out.emplace(std::move(items_.front()));
                items_.pop_front();
                not_full_.notify_one();
                result = Pop::Item;
            } else if (closed_) {
                result = Pop::Closed;
            }
        }
        Py_END_ALLOW_THREADS
        return result;
    }

    void close() {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        not_full_.notify_all();
        not_empty_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable not_full_, not_empty_;
    std::deque<T> items_;  // left-overs are dropped with the queue, under the interpreter lock
    bool closed_ = false;
};

// A frame and its time; or, for a live source, when its signal was lost, came back, or was given up.
struct ReadFrame {
    enum class Kind { Frame, Lost, Back, GaveUp };
    Ref frame;
    Ref now;
    Kind kind = Kind::Frame;
    Ref payload;
    bool key = true;
};

// Opens a segment when `name` is set, finishes the open one when `close` is, writes a frame otherwise.
struct WriteJob {
    Ref name, size;
    Ref roi;
    long long inframe = 0, outframe = 0;
    Ref now, stamp;
    bool close = false;
    Ref payload;
};

// The first error of any stage; the stages only touch it with the interpreter lock held.
class FirstError {
public:
    void offer_pending() noexcept {
        PendingError raised = PendingError::fetch();
        if (!error_) error_ = std::move(raised);
    }
    bool set() const noexcept { return bool(error_); }
    [[noreturn]] void raise() {
        error_.restore();
        throw PyError{};
    }

private:
    PendingError error_;
};

// A stage on a thread of its own, running with the interpreter lock. Its name (at most 15
// characters) tells it apart from OpenCV's threads in a debugger, top -H or /proc/<pid>/task.
class StageThread {
public:
    template <typename Body>
    void start(const char* name, Body body) {
        thread_ = std::thread([name, body]() mutable {
#if defined(__linux__)
            pthread_setname_np(pthread_self(), name);
#else
            (void)name;
#endif
            const PyGILState_STATE gil = PyGILState_Ensure();
            body();
            PyGILState_Release(gil);
        });
    }
    void join() noexcept {
        if (!thread_.joinable()) return;
        Py_BEGIN_ALLOW_THREADS
        thread_.join();
        Py_END_ALLOW_THREADS
    }
    ~StageThread() { join(); }

private:
    std::thread thread_;
};

// Raised inside the main stage when the writer has stopped taking frames: its error is reported.
struct WriterStopped {};

// Kept frames go to the writer stage.
class QueuedSink final : public FrameSink {
public:
    explicit QueuedSink(BoundedQueue<WriteJob>& jobs) : jobs_(jobs) {}
    void open_segment(PyObject* name, PyObject* size) override {
        WriteJob job;
        job.name = Ref::borrow(name);
        job.size = Ref::borrow(size);
        if (!jobs_.push(job)) {
            unsent_ = std::move(job.name);
            throw WriterStopped{};
        }
    }
    void write(Ref roi, long long inframe, long long outframe, Ref now, Ref stamp, Ref payload) override {
        WriteJob job{Ref(), Ref(), std::move(roi), inframe, outframe, std::move(now), std::move(stamp), false,
                     std::move(payload)};
        send(job);
    }
    void close_segment() override {
        WriteJob job;
        job.close = true;
        send(job);
    }
    PyObject* unsent() const noexcept { return unsent_.get(); }  // a segment the writer stopped before

private:
    void send(WriteJob& job) {
        if (!jobs_.push(job)) throw WriterStopped{};
    }
    BoundedQueue<WriteJob>& jobs_;
    Ref unsent_;
};

class Pipeline {
public:
    Pipeline(const RecordArgs& a, Source& source, Segment& segment, SigintDeferral& sigint)
        : a_(a), source_(source), direct_(segment), sigint_(sigint) {}
    Stopped run(FrameRules& rules);
    QueuedSink& sink() { return sink_; }

private:
    void read_frames();
    void write_frames();
    Stopped apply_rules(FrameRules& rules);
    bool push_marker(ReadFrame::Kind kind);
    void give_back_unopened(FrameRules& rules);

    const RecordArgs& a_;
    Source& source_;
    DirectSink direct_;  // the writer stage's: the sequential driver's sink, on another thread
    SigintDeferral& sigint_;
    BoundedQueue<ReadFrame> frames_;
    BoundedQueue<WriteJob> jobs_;
    QueuedSink sink_{jobs_};
    FirstError error_;
    FirstError read_error_;  // the reader's, behind the frames it queued before it
    std::atomic<bool> stop_{false};
};

bool Pipeline::push_marker(ReadFrame::Kind kind) {
    ReadFrame marker{Ref(), now_time(), kind, Ref()};
    return frames_.push(marker);
}

// A live source whose signal is lost is awaited here: the main stage learns when it was lost and
// when it came back (or was given up) from markers between the frames.
void Pipeline::read_frames() {
    if (!attempt([&] {
            // A live source's read or reopen that blocks is abandoned when the recording stops.
            const Source::Tick going_on = [this] { return !stop_.load(); };
            while (!stop_.load()) {
                Source::Frame read = source_.read(going_on);
                if (!read.image) break;
                if (read.image.get() == Py_None) {
                    if (!source_.is_live() || !push_marker(ReadFrame::Kind::Lost)) break;
                    if (a_.reconnect > 0) read = source_.regain(a_.reconnect, going_on);
                    if (read.image.get() == Py_None) {
                        push_marker(ReadFrame::Kind::GaveUp);
                        break;
                    }
                    if (!push_marker(ReadFrame::Kind::Back)) break;
                }
                ReadFrame item{std::move(read.image), std::move(read.time), ReadFrame::Kind::Frame,
                               std::move(read.payload), read.key};
                if (!frames_.push(item)) break;
            }
        })) {
        read_error_.offer_pending();  // the main stage raises it when it reaches the end of the queue
    }
    frames_.close();
}

void Pipeline::write_frames() {
    const bool ok = attempt([&] {
        std::optional<WriteJob> job;
        while (jobs_.pop(job) == BoundedQueue<WriteJob>::Pop::Item) {
            if (job->name) {
                direct_.open_segment(job->name.get(), job->size.get());
            } else if (job->close) {
                direct_.close_segment();
            } else {
                direct_.write(std::move(job->roi), job->inframe, job->outframe, std::move(job->now),
                              std::move(job->stamp), std::move(job->payload));
            }
            job.reset();
        }
    });
    if (!ok) {
        error_.offer_pending();
        stop_.store(true);
    }
    jobs_.close();  // a main stage still sending learns that the writer stopped
    frames_.close();
}

Stopped Pipeline::apply_rules(FrameRules& rules) {
    bool awaiting = false;  // a live source's signal is lost
    for (;;) {
        require(PyErr_CheckSignals());
        sigint_.raise_noted();
        if (stop_.load() && error_.set()) throw WriterStopped{};
        std::optional<ReadFrame> item;
        switch (frames_.pop(item, kSignalTick)) {
            case BoundedQueue<ReadFrame>::Pop::Tick:
                // A live source timed by the wall clock: its duration may end while no frame comes.
                if ((awaiting || source_.is_live()) && rules.expired(now_time().get())) return Stopped::Duration;
                continue;
            case BoundedQueue<ReadFrame>::Pop::Closed:
                if (read_error_.set()) read_error_.raise();
                return Stopped::End;
            case BoundedQueue<ReadFrame>::Pop::Item: break;
        }
        switch (item->kind) {
            case ReadFrame::Kind::Frame: break;
            case ReadFrame::Kind::Lost:
                awaiting = true;
                rules.lost(item->now.get());
                continue;
            case ReadFrame::Kind::Back:
                awaiting = false;
                rules.back(item->now.get());
                continue;
            case ReadFrame::Kind::GaveUp: return Stopped::Lost;
        }
        Stopped why = Stopped::End;
        if (rules.take(item->frame.get(), item->now.get(), item->payload.get(), item->key, why) ==
            FrameRules::Next::Stop)
            return why;
    }
}

Stopped Pipeline::run(FrameRules& rules) {
    StageThread reader, writer;
    Stopped stopped = Stopped::End;
    try {
        // Started inside: a thread that cannot start still closes the queues the other waits on.
        reader.start("quarrin-reader", [this] { read_frames(); });
        writer.start("quarrin-writer", [this] { write_frames(); });
        stopped = apply_rules(rules);
    } catch (const WriterStopped&) {
    } catch (...) {
        set_error_from_current_exception();
        error_.offer_pending();
    }
    stop_.store(true);
    frames_.close();  // the reader stops at its next frame
    jobs_.close();    // the writer writes what it was handed, then ends
    reader.join();
    writer.join();
    if (!attempt([&] { give_back_unopened(rules); })) error_.offer_pending();
    if (error_.set()) error_.raise();
    return stopped;
}

// A writer stage that stopped leaves the segments queued after its failure unopened: the rules
// claimed their names, and nothing will ever be written into those empty files.
void Pipeline::give_back_unopened(FrameRules& rules) {
    std::optional<WriteJob> job;
    while (jobs_.pop(job) == BoundedQueue<WriteJob>::Pop::Item) {
        if (job->name) rules.give_back(job->name.get());
        job.reset();
    }
    if (sink_.unsent()) rules.give_back(sink_.unsent());
}

}  // namespace

Stopped run_pipelined(const RecordArgs& a, Source& source, Segment& segment, FrameRules& rules,
                      SigintDeferral& sigint) {
    Pipeline pipeline(a, source, segment, sigint);
    // The rules write into the pipeline while it runs, and into their own sink again after it (an
    // event the watcher confirms as the recording ends): the pipeline's sink goes with it.
    struct Redirected {
        FrameRules& rules;
        ~Redirected() { rules.redirect_back(); }
    } redirected{rules};
    rules.redirect(pipeline.sink());
    return pipeline.run(rules);
}

}  // namespace quarrin
