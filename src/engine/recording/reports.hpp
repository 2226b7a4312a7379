// What a recording reports as it goes, in its Python form: a motion event (quarrin._recorder.Event)
// and a closed segment (quarrin._recorder.Written), struct sequences whose fields are named. The
// same objects go to the callbacks (on_event_start, on_event, on_segment) and into the outcome.
#pragma once

#include "recording/events.hpp"
#include "recording/segment.hpp"

namespace quarrin {

// Creates the two types (once per process) and adds them to `module` (quarrin._recorder).
void add_report_types(PyObject* module);

// An event that has ended; or, `ended` false, one that has begun: its end, seconds, last_frame
// and frames are None, and its peak area is the largest so far.
Ref event_object(const Event& e, bool ended = true);
Ref written_object(const Written& w);

// A new struct sequence of `type` holding `items` (borrowed), in order.
Ref struct_of(PyTypeObject* type, std::initializer_list<PyObject*> items);

}  // namespace quarrin
