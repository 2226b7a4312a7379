// The Python form of events and segments (see reports.hpp).
#include "recording/reports.hpp"

namespace quarrin {

namespace {

PyTypeObject* written_type = nullptr;
PyTypeObject* event_type = nullptr;

PyStructSequence_Field written_fields[] = {
    {"video", "the video file"},
    {"csv", "its timestamps CSV"},
    {"frames", "frames written, and rows in the CSV"},
    {"first", "time of the first frame (datetime), or None"},
    {"last", "time of the last frame (datetime), or None"},
    {"runs", "input frame numbers written, as (start, stop) runs"},
    {nullptr, nullptr}};
PyStructSequence_Desc written_desc = {"quarrin._recorder.Written", "What one segment holds.", written_fields, 6};

// The fields are the first columns of the event list, in its order and with its names.
PyStructSequence_Field event_fields[] = {
    {"event", "event number, from 1"},
    {"start", "time of its first frame (datetime)"},
    {"end", "time of its last frame (datetime); None while it goes on"},
    {"seconds", "end - start, in seconds; None while it goes on"},
    {"first_frame", "input number of its first frame"},
    {"last_frame", "input number of its last frame; None while it goes on"},
    {"frames", "frames written (or, in a scan, that would be); None while it goes on"},
    {"peak_area", "the largest moving area, in pixels of the region (so far, while it goes on)"},
    {"file", "the video its first frame went to (None in a scan)"},
    {"peak_frame", "the region of its frame with the peak area, with snapshots (None otherwise, and while it goes on)"},
    {"peak_box", "(x, y, w, h) around that frame's motion, in pixels of the region; or None"},
    {"findings", "what the watcher found in it (objects, zones): its findings(), or end() once ended; or None"},
    {nullptr, nullptr}};
// The last three are attributes only: the sequence is the event list's columns.
PyStructSequence_Desc event_desc = {"quarrin._recorder.Event", "One motion event.", event_fields, 9};

PyObject* or_none(const Ref& r) { return r ? r.get() : Py_None; }

}  // namespace

void add_report_types(PyObject* module) {
    if (!written_type) {
        written_type = PyStructSequence_NewType(&written_desc);
        if (!written_type) throw PyError{};
        event_type = PyStructSequence_NewType(&event_desc);
        if (!event_type) throw PyError{};
    }
    require(PyModule_AddObjectRef(module, "Written", reinterpret_cast<PyObject*>(written_type)));
    require(PyModule_AddObjectRef(module, "Event", reinterpret_cast<PyObject*>(event_type)));
}

Ref struct_of(PyTypeObject* type, std::initializer_list<PyObject*> items) {
    Ref made = Ref::check(PyStructSequence_New(type));
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyStructSequence_SetItem(made.get(), i++, Ref::borrow(item).release());
    return made;
}

Ref written_object(const Written& w) {
    Ref runs = Ref::check(PyTuple_New(Py_ssize_t(w.runs.size())));
    for (size_t i = 0; i < w.runs.size(); ++i)
        PyTuple_SET_ITEM(runs.get(), Py_ssize_t(i), tuple_of(py_int(w.runs[i].first), py_int(w.runs[i].second)).release());
    return struct_of(written_type,
                     {w.video.get(), w.csv.get(), py_int(w.frames).get(), or_none(w.first), or_none(w.last), runs.get()});
}

Ref event_object(const Event& e, bool ended) {
    if (!ended) {
        return struct_of(event_type, {py_int(e.number).get(), e.start.get(), Py_None, Py_None,
                                      py_int(e.first_frame).get(), Py_None, Py_None, py_float(e.peak_area).get(),
                                      or_none(e.file), Py_None, Py_None, or_none(e.findings)});
    }
    const Box& b = e.peak_box;
    Ref box = !e.peak_frame || b.empty() ? Ref::borrow(Py_None)
                                         : tuple_of(py_int(b.x), py_int(b.y), py_int(b.w), py_int(b.h));
    return struct_of(event_type, {py_int(e.number).get(), e.start.get(), e.end.get(), py_float(e.seconds).get(),
                                  py_int(e.first_frame).get(), py_int(e.last_frame).get(), py_int(e.frames).get(),
                                  py_float(e.peak_area).get(), or_none(e.file), or_none(e.peak_frame), box.get(),
                                  or_none(e.findings)});
}

}  // namespace quarrin
