// Motion checks: frame differencing of blurred grayscale frames against a caller-held reference.
// The unit declares both checks' signatures next to their typed argument struct.
#pragma once

#include "args/args.hpp"

#include <cstdint>

namespace quarrin {

// The largest blur kernel the checks accept: wider ones cost time and memory without limit.
inline constexpr int32_t kMaxKernelWidth = 255;

struct MotionArgs {
    PyObject* frame = nullptr;  // gray_cur (H x W) or current (H x W x 3), uint8
    PyObject* blurred_prev = nullptr;
    PyObject* blurred_cur = nullptr;
    int32_t threshold = 0;
    int32_t min_area = 0;
    int32_t kernel_width = 21;
    bool show_diff = false;
};

extern const Signature sig_check_motion_gray;
extern const Signature sig_check_motion_rgb;

// Shared with the recorder's parameter table.
extern const Name n_threshold, n_min_area, n_kernel_width, n_show_diff;

// Raises ValueError for a kernel width above kMaxKernelWidth.
void require_kernel_width(int32_t kernel_width);

// Direct entries, for callers inside the module. The arrays are validated through the buffer
// protocol (None skips validation) but not type-tested: callers pass numpy.ndarray or None.
// They return whether the frame moved; a failure throws with the check's traceback entry added.
bool check_motion_gray(const MotionArgs& args);
bool check_motion_rgb(const MotionArgs& args);

// Python entries (fast call with keywords).
PyObject* py_check_motion_gray(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames);
PyObject* py_check_motion_rgb(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames);

}  // namespace quarrin
