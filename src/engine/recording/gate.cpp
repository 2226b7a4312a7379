// Which frames are kept (see gate.hpp).
#include "recording/gate.hpp"

#include "motion/motion.hpp"
#include "recording/names.hpp"

namespace quarrin {

Gate::Gate(const CaptureArgs& a, Console& console) : a_(a), console_(console) {
    if (a.interval > 0) interval_ = py_float(a.interval);
}

void Gate::restart(PyObject* now, int32_t width, int32_t height) {
    last_ = Ref::borrow(now);
    Ref size = tuple_of(py_int(height), py_int(width));
    Ref kwnames = tuple_of(Ref::borrow(n_dtype.get()));
    for (Ref* target : {&blurred_prev_, &blurred_cur_}) {
        Ref np = global(n_np);
        Ref uint8 = global_attr(n_np, n_uint8);
        *target = call_method(np.get(), n_zeros, {size.get(), uint8.get()}, kwnames.get());
    }
}

bool Gate::moved(PyObject* roi, PyObject* shape) {
    const Py_ssize_t ndim = PyObject_Size(shape);
    require(ndim);
    const MotionArgs args{roi, blurred_prev_.get(), blurred_cur_.get(), a_.threshold, a_.min_area,
                          a_.kernel_width, a_.show_diff};
    if (ndim == 3) return check_motion_rgb(args);
    console_.line({n_msg_frame_dimension.get(), py_int(ndim).get()});
    return check_motion_gray(args);
}

bool Gate::keep(PyObject* roi, PyObject* shape, PyObject* delta_s) {
    if (a_.motion_based) return moved(roi, shape);
    if (interval_) return compare(delta_s, interval_.get(), Py_GE);
    return true;
}

}  // namespace quarrin
