// Owning references and the error convention used by every unit of the module.
//
// Ownership rules, written once:
//   * Ref::steal(p)   takes over a reference the caller already owns (a "new reference" result).
//   * Ref::borrow(p)  adds a reference of its own to an object somebody else owns.
//   * Ref::check(p)   like steal(), for API results where nullptr means "Python error set": it throws.
//   * r.release()     hands the reference back to the caller, who becomes responsible for it.
//   * r.get()         lends the pointer out; the Ref keeps owning it.
// A Ref is move-only; whatever it holds when it goes out of scope is released.
//
// Errors: inside the module a Python error is carried as a C++ exception (PyError) while the
// Python error indicator holds the actual exception. Only the entries that Python calls turn it
// back into a return code (nullptr or -1).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <new>
#include <utility>

namespace quarrin {

// Thrown when the Python error indicator is set and the error should propagate.
struct PyError {};

[[noreturn]] inline void throw_error() { throw PyError{}; }

// Sets a Python exception and throws.
[[noreturn]] inline void raise(PyObject* type, const char* msg) {
    PyErr_SetString(type, msg);
    throw PyError{};
}

template <typename... A>
[[noreturn]] void raise_format(PyObject* type, const char* fmt, A... args) {
    PyErr_Format(type, fmt, args...);
    throw PyError{};
}

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    static Ref check(PyObject* p) {
        if (!p) throw PyError{};
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Sets aside the pending exception (if any) for the lifetime of the guard and restores it
// afterwards, so that clean-up code cannot replace it.
class ErrorStash {
public:
    ErrorStash() noexcept { PyErr_Fetch(&type_, &value_, &tb_); }
    ErrorStash(const ErrorStash&) = delete;
    ErrorStash& operator=(const ErrorStash&) = delete;
    ~ErrorStash() {
        if (type_) {
            // An error raised meanwhile loses to the one that was pending.
            PyErr_Clear();
            PyErr_Restore(type_, value_, tb_);
        }
    }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* tb_ = nullptr;
};

// ---- small call helpers (all throw PyError on failure) -------------------------------------

inline Ref getattr(PyObject* obj, PyObject* name) { return Ref::check(PyObject_GetAttr(obj, name)); }

inline Ref call(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr) {
    return Ref::check(PyObject_Vectorcall(callable, const_cast<PyObject**>(args.begin()),
                                          args.size() - (kwnames ? PyTuple_GET_SIZE(kwnames) : 0), kwnames));
}

// obj.name(*args), without building a bound method; the last len(kwnames) args are keyword values.
inline Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args = {},
                       PyObject* kwnames = nullptr) {
    PyObject* stack[16];
    if (args.size() >= sizeof stack / sizeof stack[0]) raise(PyExc_SystemError, "too many arguments for call_method");
    size_t n = 0;
    stack[n++] = obj;
    for (PyObject* a : args) stack[n++] = a;
    const size_t npos = n - (kwnames ? size_t(PyTuple_GET_SIZE(kwnames)) : 0);
    return Ref::check(PyObject_VectorcallMethod(name, stack, npos, kwnames));
}

inline bool truth(PyObject* obj) {
    int r = PyObject_IsTrue(obj);
    if (r < 0) throw PyError{};
    return r != 0;
}

inline Ref py_int(long long v) { return Ref::check(PyLong_FromLongLong(v)); }
inline Ref py_float(double v) { return Ref::check(PyFloat_FromDouble(v)); }
inline Ref py_str(const char* s) { return Ref::check(PyUnicode_FromString(s)); }

// Builds a tuple, taking over the given references.
template <typename... R>
Ref tuple_of(R&&... items) {
    Ref t = Ref::check(PyTuple_New(sizeof...(items)));
    Py_ssize_t i = 0;
    ((PyTuple_SET_ITEM(t.get(), i++, items.release())), ...);
    return t;
}

// Runs a throwing body at a Python boundary: returns its result, or `fail` with the error set.
template <typename F, typename T>
T boundary(F&& body, T fail) noexcept {
    try {
        return body();
    } catch (const PyError&) {
        return fail;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return fail;
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in quarrin.snapwell");
        return fail;
    }
}

}  // namespace quarrin
