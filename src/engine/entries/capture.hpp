// vcapture, one whole recording from a camera or a video file, and its companion entry for the
// front end, quarrin._recorder.record: vcapture's arguments (but its codec) plus the front end's
// own, returning
// what the recording did. The unit declares both signatures next to the argument structs of the
// recording layer.
#pragma once

#include "args/args.hpp"

namespace quarrin {

extern const Signature sig_vcapture;
extern const Signature sig_record;

// Python entries (fast call with keywords).
PyObject* py_vcapture(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames);
PyObject* py_record(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames);

// Creates the result types of quarrin._recorder.record and adds them to `module`
// (quarrin._recorder): Outcome, Written and Event.
void add_outcome_types(PyObject* module);

}  // namespace quarrin
