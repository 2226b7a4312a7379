// Runtime services every unit of quarrin.snapwell uses: interned names, the module's process-wide
// state, module-global lookup, the bound print, sequence unpacking, traceback entries and the
// scalar conversions of the argument layer. Depends only on the error layer (pyref.hpp).
#pragma once

#include "core/pyref.hpp"

#include <cstdint>

namespace quarrin {

// An identifier or fixed text, created (and interned) when the module is executed. Units declare
// the names they use as namespace-scope objects named n_<what it holds>; each text is declared
// once, in the unit that owns it (shared ones here), and the exec step creates all of them.
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

// Names used by more than one unit.
extern const Name n_cv2, n_namedWindow, n_imshow, n_WINDOW_NORMAL;

struct ModuleState {
    PyObject* module = nullptr;       // absent until the exec step begins
    int64_t interpreter_id = -1;      // first interpreter that created the module
    PyObject* dict = nullptr;         // the module's __dict__
    PyObject* builtins = nullptr;     // module builtins
    PyObject* print = nullptr;        // builtins.print as bound at import
    PyObject* open = nullptr;         // builtins.open as bound at import
    PyTypeObject* ndarray = nullptr;  // numpy.ndarray, the type array parameters are tested against
    PyObject* full_slice2 = nullptr;  // (slice(None), slice(None)), the index [:, :]
};

extern ModuleState state;

inline constexpr const char kModuleName[] = "quarrin.snapwell";
inline constexpr const char kModuleFile[] = "quarrin/snapwell";
inline constexpr const char kCompanionName[] = "quarrin._recorder";

// Looks a module global up at the moment of use: module dictionary first, then builtins.
// Raises NameError "name '...' is not defined" when absent from both.
Ref global(PyObject* name);

// <module global>.<attr>, both looked up at this use.
inline Ref global_attr(PyObject* module_name, PyObject* attr) { return getattr(global(module_name).get(), attr); }

// Adds a traceback entry (function name, file "quarrin/snapwell", line) to the pending exception.
void add_traceback(const char* funcname, int lineno) noexcept;

// print(*args) through the print bound at import.
void print(std::initializer_list<PyObject*> args);

// How unpacking reports too few items: the motion checks' historical wording, or Python's own.
enum class UnpackWording { NeedMore, Python };

// `a, b, ... = obj`: unpacks an iterable into exactly n items.
void unpack(PyObject* obj, Ref* items, Py_ssize_t n, UnpackWording wording);

// Raises TypeError "Cannot convert X to numpy.ndarray" unless obj is None or an ndarray.
void require_ndarray_or_none(PyObject* obj);

// The scalar conversions (throw PyError):
int32_t to_int32(PyObject* value);  // int (or __int__), 32-bit range, OverflowError otherwise
double to_double(PyObject* value);  // Python's float conversion
bool to_flag(PyObject* value);      // truth value, None is false

}  // namespace quarrin
