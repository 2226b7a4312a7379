// Runtime services: interned names, global lookup, print, unpacking, traceback entries and the
// scalar conversions.
#include "core/runtime.hpp"

#include "core/compat.hpp"

#include <climits>
#include <vector>

namespace quarrin {

ModuleState state;

// ---- interned names -----------------------------------------------------------------------------

namespace {
std::vector<Name*>& name_registry() {
    static std::vector<Name*> names;
    return names;
}
}  // namespace

Name::Name(const char* text) : text_(text) { name_registry().push_back(this); }

void Name::create_all() {
    for (Name* n : name_registry()) {
        if (n->obj_) continue;  // a failed import may have created some already
        n->obj_ = PyUnicode_InternFromString(n->text_);
        if (!n->obj_) throw PyError{};
    }
}

const Name n_cv2("cv2"), n_namedWindow("namedWindow"), n_imshow("imshow"), n_WINDOW_NORMAL("WINDOW_NORMAL");

// ---- lookups, print, traceback entries --------------------------------------------------------------

Ref global(PyObject* name) {
    PyObject* found = PyDict_GetItemWithError(state.dict, name);
    if (found) return Ref::borrow(found);
    require_no_error();
    PyObject* value = PyObject_GetAttr(state.builtins, name);
    if (value) return Ref::steal(value);
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        raise_format(PyExc_NameError, "name '%U' is not defined", name);
    }
    throw PyError{};
}

void add_traceback(const char* funcname, int lineno) noexcept {
    PendingError error = PendingError::fetch();
    PyCodeObject* code = PyCode_NewEmpty(kModuleFile, funcname, lineno);
    Ref fresh_globals;
    PyObject* globals = state.dict;
    if (!globals) {
        fresh_globals = Ref::steal(PyDict_New());
        globals = fresh_globals.get();
    }
    PyFrameObject* frame = (code && globals) ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    Py_XDECREF(code);
    error.restore();  // a failure to build the entry must not replace the real error
    if (frame) {
        compat::set_frame_line(frame, lineno);
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

void print(std::initializer_list<PyObject*> args) {
    Ref::check(PyObject_Vectorcall(state.print, const_cast<PyObject**>(args.begin()), args.size(), nullptr));
}

void unpack(PyObject* obj, Ref* items, Py_ssize_t n, UnpackWording wording) {
    const bool python_wording = wording == UnpackWording::Python;
    auto too_few = [&](Py_ssize_t found) {
        if (python_wording) {
            raise_format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", n, found);
        }
        raise_format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found, found == 1 ? "" : "s");
    };
    if (PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(obj);
        if (size == n) {
            PyObject** src = PySequence_Fast_ITEMS(obj);
            for (Py_ssize_t i = 0; i < n; ++i) items[i] = Ref::borrow(src[i]);
            return;
        }
        if (size > n) raise_format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
        too_few(size);
    }
    Ref it = Ref::steal(PyObject_GetIter(obj));
    if (!it) {
        if (python_wording && PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(obj)->tp_iter &&
            !PySequence_Check(obj)) {
            PyErr_Clear();
            raise_format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(obj)->tp_name);
        }
        throw PyError{};
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        items[i] = Ref::steal(PyIter_Next(it.get()));
        if (!items[i]) {
            require_no_error();
            too_few(i);
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) raise_format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
    require_no_error();
}

void require_ndarray_or_none(PyObject* obj) {
    if (obj == Py_None || PyObject_TypeCheck(obj, state.ndarray)) return;
    raise_format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(obj)->tp_name, state.ndarray->tp_name);
}

// ---- conversions -------------------------------------------------------------------------------------

namespace {

int32_t int32_from_long(PyObject* value) {
    const long long v = PyLong_AsLongLong(value);
    if (v == -1 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            raise(PyExc_OverflowError, "Python int too large to convert to C long");
        }
        throw PyError{};
    }
    if (v < INT32_MIN || v > INT32_MAX) raise(PyExc_OverflowError, "Python int too large to convert to C long");
    return int32_t(v);
}

}  // namespace

int32_t to_int32(PyObject* value) {
    if (PyLong_Check(value)) return int32_from_long(value);
    PyNumberMethods* nb = Py_TYPE(value)->tp_as_number;
    if (!nb || !nb->nb_int) raise(PyExc_TypeError, "an integer is required");
    Ref result = Ref::check(nb->nb_int(value));
    if (!PyLong_CheckExact(result.get())) {
        if (!PyLong_Check(result.get())) {
            raise_format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(result.get())->tp_name);
        }
        require(PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                                 "__int__ returned non-int (type %.200s).  The ability to return an instance of a "
                                 "strict subclass of int is deprecated, and may be removed in a future version of "
                                 "Python.",
                                 Py_TYPE(result.get())->tp_name));
    }
    return int32_from_long(result.get());
}

double to_double(PyObject* value) {
    if (PyFloat_CheckExact(value)) return PyFloat_AS_DOUBLE(value);
    const double d = PyFloat_AsDouble(value);
    if (d == -1.0) require_no_error();
    return d;
}

bool to_flag(PyObject* value) {
    if (value == Py_True) return true;
    if (value == Py_False || value == Py_None) return false;
    return truth(value);
}

}  // namespace quarrin
