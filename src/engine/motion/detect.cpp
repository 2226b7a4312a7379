// The recorder's motion detector (see detect.hpp).
#include "motion/detect.hpp"

#include "motion/motion.hpp"
#include "motion/steps.hpp"

#include <cmath>

namespace quarrin {
namespace {

const Name n_resize("resize"), n_INTER_AREA("INTER_AREA"), n_INTER_NEAREST("INTER_NEAREST"),
    n_interpolation("interpolation"), n_bitwise_and("bitwise_and"), n_countNonZero("countNonZero");

// cv2.resize(image, size, interpolation=cv2.<how>)
Ref resized(PyObject* image, PyObject* size, PyObject* how) {
    Ref kwnames = tuple_of(Ref::borrow(n_interpolation.get()));
    Ref flag = cv2_attr(how);
    return call(cv2_attr(n_resize).get(), {image, size, flag.get()}, kwnames.get());
}

double count_nonzero(PyObject* image) {
    return to_double(call(cv2_attr(n_countNonZero).get(), {image}).get());
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
        Ref it = Ref::check(PyObject_GetIter(contours.get()));
        while (Ref c = Ref::steal(PyIter_Next(it.get()))) {
            const double area = to_double(contour_area(c.get()).get());
            if (area > limit) d.moved = true;
            if (area > d.peak_area) d.peak_area = area;
        }
        require_no_error();
        d.peak_area /= scale2_;
        if (!d.moved) d.peak_area = 0;
    }
    if (o_.show_diff) show_debug_views(diff.get(), grown.get(), contours.get());
    if (d.moved || d.lighting) require(PyObject_SetItem(blurred_prev, state.full_slice2, blurred_cur));
    return d;
}

}  // namespace quarrin
