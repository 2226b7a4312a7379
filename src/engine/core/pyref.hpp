// The error layer and owning references, used by every unit of the module.
//
// Ownership, written once:
//   * Ref::steal(p)   takes over a reference the caller already owns (a "new reference" result).
//   * Ref::borrow(p)  adds a reference of its own to an object somebody else owns.
//   * Ref::check(p)   like steal(), for API results where nullptr means "Python error set": it throws.
//   * r.release()     hands the reference back to the caller, who becomes responsible for it.
//   * r.get()         lends the pointer out; the Ref keeps owning it.
// A Ref is move-only; whatever it holds when it goes out of scope is released.
//
// Errors: inside the module a Python error travels as a C++ exception (PyError) while the Python
// error indicator holds the actual exception. require() turns a C-API status into that exception;
// PendingError owns an exception taken out of the indicator. Only the entries Python calls turn
// PyError back into a return code (boundary()).
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

// A C-API status or size: negative means the error indicator is set.
template <typename Status>
void require(Status status) {
    if (status < 0) throw PyError{};
}

// For API calls whose failure value is also a valid result (-1, nullptr from a lookup).
inline void require_no_error() {
    if (PyErr_Occurred()) throw PyError{};
}

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

// An exception taken out of the error indicator and owned until it is restored or dropped.
class PendingError {
public:
    PendingError() noexcept = default;
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;
    PendingError(PendingError&& other) noexcept { swap(other); }
    PendingError& operator=(PendingError&& other) noexcept {
        PendingError(std::move(other)).swap(*this);
        return *this;
    }
    ~PendingError() {
        Py_XDECREF(type_);
        Py_XDECREF(value_);
        Py_XDECREF(tb_);
    }

    // Takes the pending exception (if any) out of the indicator.
    static PendingError fetch() noexcept {
        PendingError e;
        PyErr_Fetch(&e.type_, &e.value_, &e.tb_);
        return e;
    }

    explicit operator bool() const noexcept { return type_ != nullptr; }
    bool matches(PyObject* type) const noexcept { return type_ && PyErr_GivenExceptionMatches(type_, type); }

    // Puts the exception back into the indicator, replacing whatever is there.
    void restore() noexcept {
        if (!type_) return;
        PyErr_Clear();
        PyErr_Restore(type_, value_, tb_);
        type_ = value_ = tb_ = nullptr;
    }

    // Makes this exception the context of `newer` (as `raise newer` inside `except` would) and
    // becomes `newer`.
    void chain_into(PendingError&& newer) noexcept {
        if (type_ && newer.type_) {
            PyErr_NormalizeException(&type_, &value_, &tb_);
            PyErr_NormalizeException(&newer.type_, &newer.value_, &newer.tb_);
            if (newer.value_ && value_) {
                if (tb_) PyException_SetTraceback(value_, tb_);
                PyException_SetContext(newer.value_, value_);  // steals value_
                value_ = nullptr;
            }
        }
        *this = std::move(newer);
    }

private:
    void swap(PendingError& other) noexcept {
        std::swap(type_, other.type_);
        std::swap(value_, other.value_);
        std::swap(tb_, other.tb_);
    }
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* tb_ = nullptr;
};

// Sets aside the pending exception for the lifetime of the guard and restores it afterwards, so
// that clean-up code cannot replace it.
class ErrorStash {
public:
    ErrorStash() noexcept : saved_(PendingError::fetch()) {}
    ErrorStash(const ErrorStash&) = delete;
    ErrorStash& operator=(const ErrorStash&) = delete;
    ~ErrorStash() { saved_.restore(); }

private:
    PendingError saved_;
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
    const int r = PyObject_IsTrue(obj);
    require(r);
    return r != 0;
}

// `a == b` / `a >= b` as Python decides them.
inline bool compare(PyObject* a, PyObject* b, int op) {
    const int r = PyObject_RichCompareBool(a, b, op);
    require(r);
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

// Builds a list from borrowed items.
inline Ref list_of(std::initializer_list<PyObject*> items) {
    Ref l = Ref::check(PyList_New(Py_ssize_t(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyList_SET_ITEM(l.get(), i++, Ref::borrow(item).release());
    return l;
}

// Turns the C++ exception in flight into the Python error indicator. Call only inside a catch.
inline void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const PyError&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in quarrin.snapwell");
    }
}

// Runs a throwing body at a Python boundary: returns its result, or `fail` with the error set.
template <typename F, typename T>
T boundary(F&& body, T fail) noexcept {
    try {
        return body();
    } catch (...) {
        set_error_from_current_exception();
        return fail;
    }
}

// Runs a throwing body and leaves any failure in the error indicator; true when it succeeded.
template <typename F>
bool attempt(F&& body) noexcept {
    return boundary([&] { body(); return true; }, false);
}

}  // namespace quarrin
