// The recorder's motion detector for events: the grayscale check's steps, on frames that may be
// scaled down first, with areas that never count (a mask) and whole-frame changes (lighting)
// told apart from motion. It reports how large the motion was. With no mask, no scaling and no
// lighting limit it decides exactly as check_motion_rgb / check_motion_gray do.
#pragma once

#include "args/args.hpp"

namespace quarrin {

struct DetectOptions {
    int32_t threshold = 25, min_area = 500, kernel_width = 21;
    int32_t width = 0, height = 0;  // of the frames checked (the region of interest)
    int32_t detect_width = 0;       // scale frames down to this width first; 0: full size
    PyObject* mask = Py_None;       // uint8 array of the region's size: 0 never counts; None: all counts
    double max_changed = 1.0;       // a larger share of changed pixels is a lighting change
    bool show_diff = false;
};

// A rectangle of the region, in its pixels; empty when w is 0.
struct Box {
    int32_t x = 0, y = 0, w = 0, h = 0;
    bool empty() const noexcept { return w <= 0 || h <= 0; }
};

struct Detection {
    bool moved = false;     // some changed area is larger than min_area
    bool lighting = false;  // more than max_changed of the counted pixels changed
    double peak_area = 0;   // the largest changed area, in pixels of the region
    double changed = 0;     // share of the counted pixels that changed (only with a lighting limit)
    Box box;                // around every changed area larger than min_area, in pixels of the region
};

class Detector {
public:
    explicit Detector(const DetectOptions& o);
    // Width and height of the blurred pair the detector works on.
    int32_t work_width() const noexcept { return work_w_; }
    int32_t work_height() const noexcept { return work_h_; }
    // Checks frame (BGR or gray) against blurred_prev; blurred_cur receives the blurred frame. On
    // motion, or a lighting change, blurred_prev becomes blurred_cur. At `reference` (the pair
    // starts a new reference) a lighting change counts as motion: the frame is the reference.
    Detection detect(PyObject* frame, int ndim, PyObject* blurred_prev, PyObject* blurred_cur, bool reference);

private:
    Box in_region(const int32_t box[4]) const;

    DetectOptions o_;
    int32_t work_w_, work_h_, kernel_;
    double scale2_;   // area scale: (work width / width) squared
    Ref size_;        // (work_w, work_h), for cv2.resize
    Ref mask_;        // the mask at the working size, or null
    double counted_;  // pixels that count
};

}  // namespace quarrin
