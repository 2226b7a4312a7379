// Motion checks: frame differencing of blurred grayscale frames against a caller-held reference.
#pragma once

#include "pyref.hpp"

#include <cstdint>

namespace quarrin {

// Direct entries, for callers inside the module. The array arguments are validated through the
// buffer protocol (None skips validation) but not type-tested: callers pass numpy.ndarray or None.
// Return 1 (motion), 0 (none) or -1 with the Python error set; a failure carries the traceback
// entry of the check.
int check_motion_gray(PyObject* gray_cur, PyObject* blurred_prev, PyObject* blurred_cur, int32_t threshold,
                      int32_t min_area, int32_t kernel_width = 21, bool show_diff = false) noexcept;

int check_motion_rgb(PyObject* current, PyObject* blurred_prev, PyObject* blurred_cur, int32_t threshold,
                     int32_t min_area, int32_t kernel_width = 21, bool show_diff = false) noexcept;

// Python entries (fast call with keywords).
PyObject* py_check_motion_gray(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames);
PyObject* py_check_motion_rgb(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames);

}  // namespace quarrin
