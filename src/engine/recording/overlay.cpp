// The timestamp overlay and the preview window (see overlay.hpp).
#include "recording/overlay.hpp"

#include "recording/names.hpp"

namespace quarrin {

Ref colour_of(PyObject* arr) {
    Ref t = Ref::check(PyTuple_New(3));
    for (Py_ssize_t i = 0; i < 3; ++i) {
        Ref item = Ref::check(PySequence_GetItem(arr, i));
        PyTuple_SET_ITEM(t.get(), i, Ref::check(PyNumber_Long(item.get())).release());
    }
    return t;
}

void Overlay::draw(PyObject* roi, PyObject* text) {
    Ref text_w, text_h;
    {
        Ref cv2 = global(n_cv2);
        Ref face = global_attr(n_cv2, n_FONT_HERSHEY_SIMPLEX);
        Ref size = call_method(cv2.get(), n_getTextSize, {text, face.get(), py_float(0.5).get(), py_int(2).get()});
        Ref outer[2], wh[2];
        unpack(size.get(), outer, 2, UnpackWording::Python);
        unpack(outer[0].get(), wh, 2, UnpackWording::Python);
        text_w = std::move(wh[0]);
        text_h = std::move(wh[1]);
    }
    Ref tx = py_int(a_.tx), ty = py_int(a_.ty);
    {
        Ref cv2 = global(n_cv2);
        Ref origin = tuple_of(Ref::borrow(tx.get()), Ref::borrow(ty.get()));
        Ref corner = tuple_of(Ref::check(PyNumber_Add(tx.get(), text_w.get())),
                              Ref::check(PyNumber_Subtract(ty.get(), text_h.get())));
        Ref colour = colour_of(a_.tb);
        Ref filled = global_attr(n_cv2, n_FILLED);
        call_method(cv2.get(), n_rectangle, {roi, origin.get(), corner.get(), colour.get(), filled.get()});
    }
    {
        Ref cv2 = global(n_cv2);
        Ref origin = tuple_of(Ref::borrow(tx.get()), Ref::borrow(ty.get()));
        Ref face = global_attr(n_cv2, n_FONT_HERSHEY_SIMPLEX);
        Ref scale = py_float(a_.fs);
        Ref colour = colour_of(a_.tc);
        Ref thickness = py_int(2);
        Ref line = global_attr(n_cv2, n_LINE_AA);
        call_method(cv2.get(), n_putText,
                    {roi, text, origin.get(), face.get(), scale.get(), colour.get(), thickness.get(), line.get()});
    }
}

void Preview::open(PyObject* name) {
    name_ = Ref::borrow(name);
    Ref cv2 = global(n_cv2);
    Ref flags = global_attr(n_cv2, n_WINDOW_NORMAL);
    call_method(cv2.get(), n_namedWindow, {name, flags.get()});
}

bool Preview::show(PyObject* roi) {
    if (!name_) return false;  // no window was opened: a scan opens no segment to name one
    call_method(global(n_cv2).get(), n_imshow, {name_.get(), roi});
    Ref raw = call_method(global(n_cv2).get(), n_waitKey, {py_int(1).get()});
    Ref key = Ref::check(PyNumber_And(raw.get(), py_int(255).get()));
    for (long stop : {113L, 27L}) {  // q, Esc
        if (compare(key.get(), py_int(stop).get(), Py_EQ)) return true;
    }
    return false;
}


// OpenCV builds without a GUI back end (the headless packages) raise cv2.error from
// destroyAllWindows: such a build has no window to close. Window calls that matter (namedWindow,
// imshow) still raise there.
void destroy_all_windows() {
    Ref cv2 = global(n_cv2);
    PyObject* argv[] = {cv2.get()};
    PyObject* result = PyObject_VectorcallMethod(n_destroyAllWindows, argv, 1, nullptr);
    if (result) {
        Py_DECREF(result);
        return;
    }
    PendingError raised = PendingError::fetch();
    Ref error_type = Ref::steal(PyObject_GetAttr(cv2.get(), n_error));
    PyErr_Clear();  // a cv2 without `error` cannot have raised it
    if (error_type && raised.matches(error_type.get())) return;
    raised.restore();
    throw PyError{};
}

}  // namespace quarrin
