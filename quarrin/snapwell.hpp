// Process-wide module state of quarrin.snapwell and the services every unit uses:
// interned names, module-global lookup, traceback entries and the bound built-ins.
#pragma once

#include "pyref.hpp"

#include <cstdint>

namespace quarrin {

// An identifier string created (and interned) when the module is executed. Units declare the
// names they use as namespace-scope objects; the exec step creates all of them at once.
class Name {
public:
    explicit Name(const char* text);
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;
    operator PyObject*() const noexcept { return obj_; }
    PyObject* get() const noexcept { return obj_; }
    const char* text() const noexcept { return text_; }

    // Creates every declared name; throws on failure (exec step).
    static void create_all();

private:
    const char* text_;
    PyObject* obj_ = nullptr;
};

struct ModuleState {
    PyObject* module = nullptr;       // absent until the exec step begins
    int64_t interpreter_id = -1;      // first interpreter that created the module
    PyObject* dict = nullptr;         // the module's __dict__
    PyObject* builtins = nullptr;     // module builtins
    PyObject* print = nullptr;        // builtins.print as bound at import
    PyObject* open = nullptr;         // builtins.open as bound at import
    PyTypeObject* ndarray = nullptr;  // numpy.ndarray, the type array parameters are tested against
    PyObject* full_slice2 = nullptr;  // (slice(None), slice(None)), the index [:, :]
    PyObject* motion_defaults = nullptr;  // (21, False), shared by both motion checks
};

extern ModuleState state;

inline constexpr const char kModuleName[] = "quarrin.snapwell";
inline constexpr const char kModuleFile[] = "quarrin/snapwell";

// Looks a module global up at the moment of use: module dictionary first, then builtins.
// Raises NameError "name '...' is not defined" when absent from both.
Ref global(PyObject* name);

// Adds a traceback entry (function name, file "quarrin/snapwell", line) to the pending exception.
void add_traceback(const char* funcname, int lineno) noexcept;

// print(*args) through the print bound at import.
void print(std::initializer_list<PyObject*> args);

// `a, b, ... = obj`: unpacks an iterable into exactly n items. Too few items are reported as
// "need more than K values to unpack", or with Python's own wording when python_wording is set.
void unpack(PyObject* obj, Ref* items, Py_ssize_t n, bool python_wording = false);

// Raises TypeError "Cannot convert X to numpy.ndarray" unless obj is None or an ndarray.
void require_ndarray_or_none(PyObject* obj);

}  // namespace quarrin
