// Argument matching, conversion, type tests and buffer validation against a parameter table.
#include "args/args.hpp"

namespace quarrin {

namespace {

enum class Count { TooFew, TooMany };

[[noreturn]] void raise_count(const Signature& sig, Py_ssize_t given, Count count) {
    const bool too_many = count == Count::TooMany;
    const bool exact = sig.nrequired == sig.nparams;
    const char* bound = exact ? "exactly" : (too_many ? "at most" : "at least");
    const Py_ssize_t expected = (exact || too_many) ? sig.nparams : sig.nrequired;
    raise_format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", sig.name, bound,
                 expected, expected == 1 ? "" : "s", given);
}

// Same parameter name? Identity first, then hash and text; a str subclass is compared with ==.
bool same_name(PyObject* key, PyObject* name) {
    if (key == name) return true;
    if (PyUnicode_CheckExact(key)) {
        return PyObject_Hash(key) == PyObject_Hash(name) && PyUnicode_Compare(key, name) == 0;
    }
    return compare(key, name, Py_EQ);
}

int find_param(const Signature& sig, PyObject* key, int from, int to) {
    for (int i = from; i < to; ++i) {
        if (sig.params[i].name->get() == key) return i;
    }
    for (int i = from; i < to; ++i) {
        if (same_name(key, sig.params[i].name->get())) return i;
    }
    return -1;
}

// Finds the object given for each parameter (nullptr where none was).
void match_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** given) {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0) {
        if (nargs < sig.nrequired) raise_count(sig, nargs, Count::TooFew);
        if (nargs > sig.nparams) raise_count(sig, nargs, Count::TooMany);
    } else if (nargs > sig.nparams) {
        raise_count(sig, nargs, Count::TooMany);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) given[i] = args[i];
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) raise_format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
        const int index = find_param(sig, key, int(nargs), sig.nparams);
        if (index >= 0 && !given[index]) {
            given[index] = args[nargs + k];
            continue;
        }
        if (index >= 0 || find_param(sig, key, 0, int(nargs)) >= 0) {
            raise_format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", sig.name, key);
        }
        raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
    }
    for (int i = int(nargs); i < sig.nrequired; ++i) {
        if (!given[i]) raise_count(sig, i, Count::TooFew);
    }
}

template <typename T>
T& field(void* args, const Param& p) {
    return *reinterpret_cast<T*>(static_cast<char*>(args) + p.offset);
}

template <typename T>
const T& field(const void* args, const Param& p) {
    return *reinterpret_cast<const T*>(static_cast<const char*>(args) + p.offset);
}

// Converts the given scalars; parameters not given keep the struct's defaults.
void convert_scalars(const Signature& sig, PyObject* const* given, void* out) {
    for (int i = 0; i < sig.nparams; ++i) {
        const Param& p = sig.params[i];
        PyObject* obj = given[i];
        if (!obj) continue;
        switch (p.kind) {
            case Kind::Integer: field<int32_t>(out, p) = to_int32(obj); break;
            case Kind::Number: field<double>(out, p) = to_double(obj); break;
            case Kind::Flag: field<bool>(out, p) = to_flag(obj); break;
            case Kind::Text:
            case Kind::Array:
            case Kind::Object: field<PyObject*>(out, p) = obj; break;
        }
    }
}

void test_types(const Signature& sig, const void* in) {
    for (int i = 0; i < sig.nparams; ++i) {
        const Param& p = sig.params[i];
        if (p.kind != Kind::Text && p.kind != Kind::Array) continue;
        PyObject* obj = field<PyObject*>(in, p);
        if (obj == Py_None) continue;
        if (p.kind == Kind::Text ? PyUnicode_CheckExact(obj) : PyObject_TypeCheck(obj, state.ndarray)) continue;
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                     p.name->text(), p.kind == Kind::Text ? "str" : state.ndarray->tp_name, Py_TYPE(obj)->tp_name);
        throw UntracedError{};
    }
}

}  // namespace

void bind_arguments(const Signature& sig, PyObject* const* args, size_t nargsf, PyObject* kwnames, void* out,
                    HeldViews& views) {
    PyObject* given[kMaxParams] = {};
    match_arguments(sig, args, PyVectorcall_NARGS(nargsf), kwnames, given);
    convert_scalars(sig, given, out);
    test_types(sig, out);
    for (int i = 0; i < sig.nparams; ++i) {
        const Param& p = sig.params[i];
        if (p.kind == Kind::Array) validate_array(field<PyObject*>(out, p), p.elem, p.ndim, views.views[i]);
    }
}

Ref param_value(const Signature& sig, int i, const void* args) {
    const Param& p = sig.params[i];
    switch (p.kind) {
        case Kind::Integer: return py_int(field<int32_t>(args, p));
        case Kind::Number: return py_float(field<double>(args, p));
        case Kind::Flag: return Ref::borrow(field<bool>(args, p) ? Py_True : Py_False);
        case Kind::Text:
        case Kind::Array:
        case Kind::Object: break;
    }
    PyObject* obj = field<PyObject*>(args, p);
    return Ref::borrow(obj ? obj : Py_None);
}

}  // namespace quarrin
