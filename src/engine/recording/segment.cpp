// The output names and segments (see segment.hpp). vcapture's calls into os, cv2, open and csv are
// made in the order the recorder has always made them.
#include "recording/segment.hpp"

#include "recording/names.hpp"
#include "recording/reports.hpp"

#include <algorithm>
#include <cstdio>

namespace quarrin {

// ---- output names -------------------------------------------------------------------------------

// Splits the output into root and extension as os.path.splitext splits a POSIX path: the
// extension is the last dot of the file name and what follows it, unless the name is all dots
// up to there (".hidden" has none).
void SegmentNamer::split(PyObject* name) {
    if (!PyUnicode_Check(name)) getattr(name, n_rpartition);  // None: AttributeError, as ever
    const Py_ssize_t length = PyUnicode_GetLength(name);
    const Py_ssize_t sep = PyUnicode_FindChar(name, '/', 0, length, -1);  // -1: none, -2: error
    const Py_ssize_t dot = PyUnicode_FindChar(name, '.', 0, length, -1);
    require(std::min(sep, dot) + 1);
    Py_ssize_t at = length;
    if (dot > sep) {
        for (Py_ssize_t i = sep + 1; i < dot; ++i) {
            if (PyUnicode_ReadChar(name, i) != '.') {
                at = dot;
                break;
            }
        }
    }
    root_ = Ref::check(PyUnicode_Substring(name, 0, at));
    ext_ = Ref::check(PyUnicode_Substring(name, at, length));
}

bool SegmentNamer::pattern() {
    if (pattern_ < 0) {
        pattern_ = 0;
        if (claim_ == Mode::Claim::Create && PyUnicode_Check(output_)) {
            const Py_ssize_t found = PyUnicode_Find(output_, n_text_percent, 0, PY_SSIZE_T_MAX, 1);
            require(found + 1);
            pattern_ = found >= 0;
        }
    }
    return pattern_ == 1;
}

// The number goes before the file name's own extension.
Ref SegmentNamer::numbered(long long number) const {
    char digits[32];
    std::snprintf(digits, sizeof digits, "%03lld", number);
    return Ref::check(PyUnicode_FromFormat("%S_%s%S", root_.get(), digits, ext_.get()));
}

namespace {

// Removes the video and the CSV claimed under `video`, trying both; raises the first failure.
void remove_claimed(PyObject* video) {
    Ref csv_name = Ref::check(PyNumber_Add(video, n_text_csv_suffix));
    Ref os = global(n_os);
    PendingError first;
    for (PyObject* path : {video, csv_name.get()}) {
        if (attempt([&] { call_method(os.get(), n_unlink, {path}); })) continue;
        PendingError failed = PendingError::fetch();
        if (!first) first = std::move(failed);
    }
    if (!first) return;
    first.restore();
    throw PyError{};
}

// A claimed name never opened goes back to the caller's namer, or its two files are removed here.
void give_back_claimed(PyObject* namer, PyObject* name) {
    if (namer != Py_None) {
        call_method(namer, n_give_back, {name});
    } else {
        remove_claimed(name);
    }
}

// os.close(os.open(path, O_WRONLY | O_CREAT | O_EXCL, 0o666)); false when the path exists already.
// (os.open's own default mode, 0o777, would make every video and CSV executable.)
bool create_exclusively(PyObject* path) {
    Ref os = global(n_os);
    long flags = 0;
    for (PyObject* flag : {n_O_WRONLY.get(), n_O_CREAT.get(), n_O_EXCL.get()}) {
        flags |= PyLong_AsLong(getattr(os.get(), flag).get());
        require_no_error();
    }
    Ref fd = Ref::steal(PyObject_VectorcallMethod(
        n_open, std::initializer_list<PyObject*>{os.get(), path, py_int(flags).get(), py_int(0666).get()}.begin(), 4,
        nullptr));
    if (!fd) {
        if (!PyErr_ExceptionMatches(PyExc_FileExistsError)) throw PyError{};
        PyErr_Clear();
        return false;
    }
    call_method(os.get(), n_close, {fd.get()});
    return true;
}

}  // namespace

// Testing: the name is taken when a file of that name exists. Claiming: the video and then its CSV
// are created exclusively; a name whose CSV is taken gives its video back.
bool SegmentNamer::taken(PyObject* name) {
    if (claim_ == Mode::Claim::Test)
        return truth(call_method(global_attr(n_os, n_path).get(), n_exists, {name}).get());
    if (!create_exclusively(name)) return true;
    Ref csv_name = Ref::check(PyNumber_Add(name, n_text_csv_suffix));
    if (create_exclusively(csv_name.get())) return false;
    call_method(global(n_os).get(), n_unlink, {name});
    return true;
}

void SegmentNamer::give_back(PyObject* name) {
    if (namer_ != Py_None || claim_ == Mode::Claim::Create) give_back_claimed(namer_, name);
}

Ref SegmentNamer::next(PyObject* when) {
    Ref name;
    if (namer_ != Py_None) {
        name = call_method(namer_, n_claim, {when});
        if (!PyUnicode_Check(name.get()))
            raise_format(PyExc_TypeError, "namer.claim() must return a str, not %.200s", Py_TYPE(name.get())->tp_name);
    } else if (pattern()) {
        // The output expanded now, in its folder; numbered from _001 only if that name is taken.
        name = call_method(global(n_time).get(), n_strftime, {output_});
        Ref folder = call_method(global_attr(n_os, n_path).get(), n_dirname, {name.get()});
        if (truth(folder.get())) {
            Ref kwnames = tuple_of(Ref::borrow(n_exist_ok.get()));
            call_method(global(n_os).get(), n_makedirs, {folder.get(), Py_True}, kwnames.get());
        }
        split(name.get());
        for (long long number = 1; taken(name.get()); ++number) name = numbered(number);
    } else {
        split(output_);
        // The output itself is tried once, for the first segment; after that, numbered names.
        const bool plain = !numbered_ && (counter_ == 0 || claim_ == Mode::Claim::Test);
        name = plain ? Ref::borrow(output_) : numbered(counter_);
        // Never overwrite a video: try numbered names until one is free.
        for (;;) {
            const bool is_taken = taken(name.get());
            ++counter_;
            if (!is_taken) break;
            name = numbered(counter_);
        }
    }
    Ref csv_name = Ref::check(PyNumber_Add(name.get(), n_text_csv_suffix));
    console_.line(
        {Ref::check(PyUnicode_FromFormat("Video saved in %S\nTimestamps in %S", name.get(), csv_name.get())).get()});
    return name;
}

// ---- segment ------------------------------------------------------------------------------------

namespace {

// cv2.VideoWriter_fourcc(*fmt)
Ref fourcc_of(PyObject* fmt) {
    Ref make = global_attr(n_cv2, n_VideoWriter_fourcc);
    Ref chars = Ref::steal(PySequence_Tuple(fmt));
    if (!chars) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(fmt)->tp_iter == nullptr && !PySequence_Check(fmt)) {
            PyErr_Clear();
            raise_format(PyExc_TypeError, "VideoWriter_fourcc() argument after * must be an iterable, not %.200s",
                         Py_TYPE(fmt)->tp_name);
        }
        throw PyError{};
    }
    return Ref::check(PyObject_Call(make.get(), chars.get(), nullptr));
}

}  // namespace

// The previous segment's writer is released and its rows must reach the disk: a failing close
// ends the recording.
void Segment::release_previous() {
    if (writer_) call_method(writer_.get(), n_release);
    csv_writer_ = Ref();
    close_stamps();
    closed();
}

// Closes the open segment's timestamps, whichever holds them: the CSV file or the stamps writer.
void Segment::close_stamps() {
    Ref stamps = csv_file_ ? std::move(csv_file_) : std::move(stamps_);
    if (stamps) call_method(stamps.get(), n_close);
}

// Tells on_segment once that the last segment's files are complete, and what it holds.
void Segment::closed() {
    if (!open_) return;
    open_ = false;
    if (a_.on_segment != Py_None) call(a_.on_segment, {written_object(written_.back()).get()});
}

void Segment::finish() {
    if (!open_) return;
    Ref writer = std::move(writer_);
    if (!own_writer() || truth(call_method(writer.get(), n_isOpened).get())) call_method(writer.get(), n_release);
    csv_writer_ = Ref();
    close_stamps();
    closed();
}

void Segment::open(PyObject* name, PyObject* size) {
    // The front end's entry takes no codec: its own writer (no video_writer object) writes MJPG.
    PyObject* fmt = a_.capture.fmt ? a_.capture.fmt : n_text_mjpg.get();
    if (own_writer()) {
        Ref fourcc = fourcc_of(fmt);
        release_previous();
        writer_ = call_method(global(n_cv2).get(), n_VideoWriter, {name, fourcc.get(), fps_, size});
    } else {
        release_previous();
        call_method(a_.video_writer, n_open, {name, fps_, size});
        writer_ = Ref::borrow(a_.video_writer);
    }
    Written fresh;
    fresh.video = Ref::borrow(name);
    fresh.csv = Ref::check(PyNumber_Add(name, n_text_csv_suffix));
    if (a_.stamps_writer != Py_None) {
        call_method(a_.stamps_writer, n_open, {fresh.csv.get()});  // it writes the header
        stamps_ = Ref::borrow(a_.stamps_writer);
    } else {
        Ref kwnames = tuple_of(Ref::borrow(n_newline.get()));
        PyObject* argv[] = {fresh.csv.get(), n_text_mode_w.get(), n_text_empty.get()};
        csv_file_ = Ref::check(PyObject_Vectorcall(state.open, argv, 2, kwnames.get()));
    }
    written_.push_back(std::move(fresh));
    open_ = true;
    if (csv_file_) {
        csv_writer_ = call_method(global(n_csv).get(), n_writer, {csv_file_.get()});
        call_method(csv_writer_.get(), n_writerow,
                    {list_of({n_head_inframe.get(), n_head_outframe.get(), n_timestamp.get()}).get()});
    }
    // A writer that did not open would drop every frame while the CSV lists them: stop here.
    if (own_writer() && !truth(call_method(writer_.get(), n_isOpened).get()))
        raise_format(PyExc_RuntimeError, "Could not open video file %S for writing (fourcc %R)", name, fmt);
}

void Segment::write(PyObject* roi, long long inframe, long long outframe, PyObject* now, Ref stamp,
                    PyObject* payload) {
    if (own_writer()) {
        call_method(writer_.get(), n_write, {roi});
    } else if (payload) {
        call_method(writer_.get(), n_write, {roi, now, payload});
    } else {
        call_method(writer_.get(), n_write, {roi, now});
    }
    if (stamps_) {
        // The stamps writer flushes each row itself.
        call_method(stamps_.get(), n_write, {py_int(inframe).get(), py_int(outframe).get(), stamp.get()});
    } else {
        Ref row = Ref::check(PyList_New(3));
        PyList_SET_ITEM(row.get(), 0, py_int(inframe).release());
        PyList_SET_ITEM(row.get(), 1, py_int(outframe).release());
        PyList_SET_ITEM(row.get(), 2, stamp.release());
        call_method(csv_writer_.get(), n_writerow, {row.get()});
        // The row reaches the OS with its frame: a full disk shows at this frame, and a killed
        // process loses at most the row of the frame in flight.
        call_method(csv_file_.get(), n_flush);
    }

    Written& w = written_.back();
    if (w.frames++ == 0) w.first = Ref::borrow(now);
    w.last = Ref::borrow(now);
    if (!w.runs.empty() && w.runs.back().second == inframe) {
        w.runs.back().second = inframe + 1;
    } else {
        w.runs.emplace_back(inframe, inframe + 1);
    }
}

void Segment::give_back_unopened(PyObject* claimed) noexcept {
    if (!claimed) return;
    ErrorStash stash;
    if (!written_.empty()) {
        const int same = PyObject_RichCompareBool(written_.back().video.get(), claimed, Py_EQ);
        if (same != 0) {
            PyErr_Clear();
            return;
        }
    }
    attempt([&] { give_back_claimed(a_.namer, claimed); });
    PyErr_Clear();
}

void Segment::close(CleanupChain& chain) noexcept {
    chain.step([&] {
        if (!writer_) return;
        Ref writer = std::move(writer_);
        if (!own_writer() || truth(call_method(writer.get(), n_isOpened).get())) call_method(writer.get(), n_release);
    });
    chain.step([&] { close_stamps(); });
    chain.step([&] { closed(); });
}

}  // namespace quarrin
