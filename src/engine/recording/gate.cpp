// Which frames are kept (see gate.hpp).
#include "recording/gate.hpp"

#include "motion/motion.hpp"
#include "recording/names.hpp"

namespace quarrin {

Gate::Gate(const RecordArgs& a, Console& console)
    : a_(a.capture), console_(console), width_(a_.roi_w), height_(a_.roi_h) {
    if (a_.interval > 0) interval_ = py_float(a_.interval);
    if (a.events || a.scan) {  // a scan finds events too
        DetectOptions& o = options_;
        o.threshold = a_.threshold;
        o.min_area = a_.min_area;
        o.kernel_width = a_.kernel_width;
        o.width = a_.roi_w;
        o.height = a_.roi_h;
        o.detect_width = a.detect_width;
        o.mask = a.mask;
        o.max_changed = a.max_changed;
        o.show_diff = a_.show_diff;
        detector_.emplace(o);
    }
}

// A mask is made for one region size: the front end refuses a new size with one.
void Gate::resize(int32_t width, int32_t height) {
    if (width == width_ && height == height_) return;
    width_ = width;
    height_ = height;
    if (!detector_) return;
    if (options_.mask != Py_None) raise(PyExc_ValueError, "the motion mask does not fit a region of another size");
    options_.width = width;
    options_.height = height;
    detector_.emplace(options_);
}

void Gate::restart(PyObject* now) {
    last_ = Ref::borrow(now);
    at_reference_ = true;
    const int32_t width = detector_ ? detector_->work_width() : width_;
    const int32_t height = detector_ ? detector_->work_height() : height_;
    Ref size = tuple_of(py_int(height), py_int(width));
    Ref kwnames = tuple_of(Ref::borrow(n_dtype.get()));
    for (Ref* target : {&blurred_prev_, &blurred_cur_}) {
        Ref np = global(n_np);
        Ref uint8 = global_attr(n_np, n_uint8);
        *target = call_method(np.get(), n_zeros, {size.get(), uint8.get()}, kwnames.get());
    }
}

Py_ssize_t Gate::ndim_of(PyObject* shape) {
    const Py_ssize_t ndim = PyObject_Size(shape);
    require(ndim);
    return ndim;
}

bool Gate::moved(PyObject* roi, Py_ssize_t ndim) {
    const MotionArgs args{roi, blurred_prev_.get(), blurred_cur_.get(), a_.threshold, a_.min_area,
                          a_.kernel_width, a_.show_diff};
    if (ndim == 3) return check_motion_rgb(args);
    console_.line({n_msg_frame_dimension.get(), py_int(ndim).get()});
    return check_motion_gray(args);
}

bool Gate::keep(PyObject* roi, PyObject* shape, PyObject* delta_s) {
    if (a_.motion_based) return moved(roi, ndim_of(shape));
    if (interval_) return compare(delta_s, interval_.get(), Py_GE);
    return true;
}

Verdict Gate::judge(PyObject* roi, PyObject* shape) {
    // A grey frame is no surprise here (a copying reader hands its luma plane): no line for each.
    const Py_ssize_t ndim = ndim_of(shape);
    const Detection d = detector_->detect(roi, int(ndim), blurred_prev_.get(), blurred_cur_.get(), at_reference_);
    Verdict v;
    if (at_reference_) {
        v.reference = d.moved;
        at_reference_ = !d.moved;
    } else {
        v.lighting = d.lighting;
        v.motion = d.moved;
        v.area = d.peak_area;
        v.box = d.box;
    }
    v.changed = d.changed;
    return v;
}

}  // namespace quarrin
