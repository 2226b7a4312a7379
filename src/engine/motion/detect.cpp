// The recorder's motion detector (see detect.hpp).
#include "motion/detect.hpp"

#include "motion/motion.hpp"
#include "motion/steps.hpp"

#include <algorithm>
#include <cmath>

namespace quarrin {
namespace {

const Name n_resize("resize"), n_INTER_AREA("INTER_AREA"), n_INTER_NEAREST("INTER_NEAREST"),
    n_interpolation("interpolation"), n_bitwise_and("bitwise_and"), n_countNonZero("countNonZero"),
    n_boundingRect("boundingRect");

// cv2.resize(image, size, interpolation=cv2.<how>)
Ref resized(PyObject* image, PyObject* size, PyObject* how) {
    Ref kwnames = tuple_of(Ref::borrow(n_interpolation.get()));
    Ref flag = cv2_attr(how);
    return call(cv2_attr(n_resize).get(), {image, size, flag.get()}, kwnames.get());
}

double count_nonzero(PyObject* image) {
    return to_double(call(cv2_attr(n_countNonZero).get(), {image}).get());
}

// Grows `box` (working pixels, as x0, y0, x1, y1) by the bounding rectangle of `contour`.
void grow(int32_t box[4], bool& any, PyObject* contour) {
    Ref rect = call(cv2_attr(n_boundingRect).get(), {contour});
    Ref items[4];
    unpack(rect.get(), items, 4, UnpackWording::Python);
    int32_t r[4];
    for (int i = 0; i < 4; ++i) r[i] = to_int32(items[i].get());
    const int32_t edges[4] = {r[0], r[1], r[0] + r[2], r[1] + r[3]};
    for (int i = 0; i < 4; ++i) box[i] = !any ? edges[i] : i < 2 ? std::min(box[i], edges[i]) : std::max(box[i], edges[i]);
    any = true;
}

}  // namespace

Detector::Detector(const DetectOptions& o) : o_(o), work_w_(o.width), work_h_(o.height), kernel_(o.kernel_width) {
    require_kernel_width(o.kernel_width);
    double scale = 1.0;
    if (o.detect_width > 0 && o.detect_width < o.width) {
        scale = double(o.detect_width) / o.width;
        work_w_ = o.detect_width;
        work_h_ = std::max<int32_t>(1, int32_t(std::lround(o.height * scale)));
        // The blur keeps its reach in the scene: a narrower kernel, still odd.
        kernel_ = std::max<int32_t>(1, int32_t(o.kernel_width * scale) | 1);
    }
    scale2_ = scale * scale;
    size_ = tuple_of(py_int(work_w_), py_int(work_h_));
    counted_ = double(work_w_) * work_h_;
    if (o.mask != Py_None) {
        mask_ = scale == 1.0 ? Ref::borrow(o.mask) : resized(o.mask, size_.get(), n_INTER_NEAREST);
        counted_ = count_nonzero(mask_.get());
    }
}

// A box of the working frame (x0, y0, x1, y1) in pixels of the region: scaled back, outwards,
// and kept inside it.
Box Detector::in_region(const int32_t box[4]) const {
    const double across = double(o_.width) / work_w_, down = double(o_.height) / work_h_;
    const int32_t x0 = std::max<int32_t>(0, int32_t(std::floor(box[0] * across)));
    const int32_t y0 = std::max<int32_t>(0, int32_t(std::floor(box[1] * down)));
    const int32_t x1 = std::min<int32_t>(o_.width, int32_t(std::ceil(box[2] * across)));
    const int32_t y1 = std::min<int32_t>(o_.height, int32_t(std::ceil(box[3] * down)));
    return Box{x0, y0, x1 - x0, y1 - y0};
}

Detection Detector::detect(PyObject* frame, int ndim, PyObject* blurred_prev, PyObject* blurred_cur,
                           bool reference) {
    Ref gray = ndim == 3 ? gray_of(frame) : Ref::borrow(frame);
    if (work_w_ != o_.width) gray = resized(gray.get(), size_.get(), n_INTER_AREA);
    blur_into(gray.get(), kernel_, blurred_cur);
    Ref diff = difference(blurred_cur, blurred_prev);
    Ref changed = binary(diff.get(), o_.threshold);
    if (!o_.show_diff) diff = Ref();
    if (mask_) changed = call(cv2_attr(n_bitwise_and).get(), {changed.get(), mask_.get()});

    Detection d;
    if (o_.max_changed < 1.0 && counted_ > 0) {
        d.changed = count_nonzero(changed.get()) / counted_;
        d.lighting = d.changed > o_.max_changed && !reference;
    }
    Ref grown = dilated(changed.get());
    Ref contours = outer_contours(grown.get());
    if (!d.lighting) {
        const double limit = double(o_.min_area) * scale2_;
        int32_t box[4] = {0, 0, 0, 0};
        Ref it = Ref::check(PyObject_GetIter(contours.get()));
        while (Ref c = Ref::steal(PyIter_Next(it.get()))) {
            const double area = to_double(contour_area(c.get()).get());
            if (area > limit) grow(box, d.moved, c.get());
            if (area > d.peak_area) d.peak_area = area;
        }
        require_no_error();
        d.peak_area /= scale2_;
        if (!d.moved) d.peak_area = 0;
        if (d.moved) d.box = in_region(box);
    }
    if (o_.show_diff) show_debug_views(diff.get(), grown.get(), contours.get());
    if (d.moved || d.lighting) require(PyObject_SetItem(blurred_prev, state.full_slice2, blurred_cur));
    return d;
}

}  // namespace quarrin
