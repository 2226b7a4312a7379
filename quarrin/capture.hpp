// vcapture: one whole recording from a camera or a video file.
#pragma once

#include "pyref.hpp"

namespace quarrin {

// Python entry (fast call with keywords).
PyObject* py_vcapture(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames);

}  // namespace quarrin
