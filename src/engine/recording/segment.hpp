// The output of a recording, one segment at a time:
//   SegmentNamer  the names: the output itself or numbered ones, never one that is taken;
//   Segment       one output video and its timestamps CSV: open, write a frame and its row, close;
//                 and what was written into each segment so far.
#pragma once

#include "core/cleanup.hpp"
#include "recording/console.hpp"
#include "recording/settings.hpp"

#include <utility>
#include <vector>

namespace quarrin {

class SegmentNamer {
public:
    SegmentNamer(PyObject* output, int32_t max_frames, Mode::Claim claim, PyObject* namer, Console& console)
        : output_(output), numbered_(max_frames > 0), claim_(claim), namer_(namer), console_(console) {}
    // The next name that is free (tested, or claimed by creating the video and its CSV);
    // prints where the video and its timestamps go.
    //
    // Names are the output, then numbered ones (out_000.avi with segments; out_001.avi, ...
    // when the output is taken). A claiming namer expands an output with strftime fields
    // (cam/%Y-%m-%d/door-%H%M%S.avi) in local time for each segment, now, creates its folders,
    // and numbers a name only when it is taken. A namer object (not None) names and claims
    // instead: namer.claim(when), `when` the time of the segment's first frame (a datetime).
    Ref next(PyObject* when);
    // A claimed name whose segment was never opened: its empty video and CSV are removed (by the
    // namer object, when there is one).
    void give_back(PyObject* name);

private:
    void split(PyObject* name);
    Ref numbered(long long number) const;
    bool taken(PyObject* name);
    bool pattern();

    PyObject* output_;
    bool numbered_;
    Mode::Claim claim_;
    PyObject* namer_;  // the caller's namer object, or None
    Console& console_;
    long long counter_ = 0;
    int pattern_ = -1;  // whether the output holds strftime fields; -1: not known yet
    Ref root_, ext_;
};

// What one segment holds.
struct Written {
    Ref video, csv;                                  // file names
    long long frames = 0;                            // frames written, and rows
    Ref first, last;                                 // time of the first and last frame (datetime)
    std::vector<std::pair<long long, long long>> runs;  // input frame numbers, as [start, stop) runs
};

class Segment {
public:
    Segment(const RecordArgs& a, PyObject* fps) : a_(a), fps_(fps) {}
    // Opens the writer (for frames of `size`, (width, height)) and the timestamps of `name` (its
    // CSV, or the stamps writer object), after releasing the previous writer and closing the
    // previous timestamps. Raises RuntimeError when an OpenCV writer does not open (the CSV holds
    // its header); a writer object raises what it raises.
    void open(PyObject* name, PyObject* size);
    // Writes the frame, then its row, flushed to the OS (by the stamps writer, when there is one).
    void write(PyObject* roi, long long inframe, long long outframe, PyObject* now, Ref stamp,
               PyObject* payload = nullptr);
    // Finishes the open segment (if any) now: writer released, timestamps closed, on_segment told.
    void finish();
    void close(CleanupChain& chain) noexcept;
    // A name claimed for a segment whose files were never opened (the writer stopped first) is
    // given back: its two empty files are removed. Any error in flight is kept.
    void give_back_unopened(PyObject* claimed) noexcept;
    // What each segment holds; taken once the recording has ended.
    std::vector<Written> take_written() noexcept { return std::move(written_); }

private:
    void release_previous();
    void closed();
    void close_stamps();
    bool own_writer() const noexcept { return a_.video_writer == Py_None; }

    const RecordArgs& a_;
    PyObject* fps_;  // the source's writer rate, borrowed from the source
    Ref writer_;     // cv2.VideoWriter of this segment, or the caller's writer object
    Ref csv_file_;   // the segment's CSV, written here
    Ref csv_writer_;
    Ref stamps_;     // or the caller's stamps writer object, open for this segment
    bool open_ = false;  // a segment's files are open, and on_segment is still to be told
    std::vector<Written> written_;
};

}  // namespace quarrin
