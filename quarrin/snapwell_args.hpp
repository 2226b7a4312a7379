// The one argument layer shared by every exported entry: each signature is declared once as a
// table of parameters, and bind_arguments() matches, converts, type-tests and validates a call
// against such a table. Buffer validation is also used by the direct motion entries.
#pragma once

#include "pyref.hpp"
#include "snapwell.hpp"

#include <cstdint>

namespace quarrin {

enum class Kind : uint8_t { Integer, Number, Flag, Text, Array };

// Element types known to the buffer validation.
enum class Elem : uint8_t { None, UChar, Int };

struct Param {
    const Name* name;
    Kind kind;
    Elem elem = Elem::None;  // arrays only
    int ndim = 0;            // arrays only
    int32_t int_default = 0;    // optional integer parameters
    bool flag_default = false;  // optional flag parameters
};

struct Signature {
    const char* name;      // "check_motion_gray"
    const char* qualname;  // "quarrin.snapwell.check_motion_gray", used for traceback entries
    int firstlineno;
    const Param* params;
    int nparams;
    int nrequired;  // the first nrequired parameters must be given
};

extern const Signature sig_check_motion_rgb;
extern const Signature sig_check_motion_gray;
extern const Signature sig_vcapture;

inline constexpr int kMaxParams = 26;

// A buffer view held for the length of a call; released (without disturbing a pending
// exception) when the holder goes away.
class BufferView {
public:
    BufferView() noexcept = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() { release(); }

    void release() noexcept;
    bool held() const noexcept { return held_; }
    const Py_buffer& view() const noexcept { return view_; }

    // Requests a format-and-strides view of obj and validates it: number of dimensions,
    // format (exactly one element of `elem`), item size. On failure nothing stays held.
    void acquire(PyObject* obj, Elem elem, int ndim);

private:
    Py_buffer view_{};
    bool held_ = false;
};

// Validates obj's buffer (None is skipped) into `view`.
inline void validate_array(PyObject* obj, Elem elem, int ndim, BufferView& view) {
    if (obj != Py_None) view.acquire(obj, elem, ndim);
}

// Checks a struct-module format string against one element of `elem`; raises ValueError.
void check_buffer_format(const char* format, Elem elem);

// The scalar conversions of the argument layer (throw PyError):
int32_t to_int32(PyObject* value);  // int (or __int__), 32-bit range, OverflowError otherwise
double to_double(PyObject* value);  // Python's float conversion
bool to_flag(PyObject* value);      // truth value, None is false

struct Arg {
    PyObject* obj = nullptr;  // borrowed from the call (text and array parameters, and every given value)
    int32_t i = 0;            // integer parameters
    double d = 0.0;           // number parameters
    bool flag = false;        // flag parameters
    bool given = false;
};

struct BoundArgs {
    Arg a[kMaxParams];
    BufferView views[kMaxParams];
};

// Matches the call to the signature, converts the scalar parameters, tests the types of the
// text and array ones and validates the arrays (views held in `out.views`). Throws PyError;
// errors of every step except the type tests carry the signature's traceback entry.
void bind_arguments(const Signature& sig, PyObject* const* args, size_t nargsf, PyObject* kwnames,
                    BoundArgs& out);

// The whole Python-facing entry: binds the arguments, runs body(const Arg*) -> Ref, adds the
// traceback entry when the body fails, releases the views on every path.
template <typename Body>
PyObject* run_entry(const Signature& sig, PyObject* const* args, size_t nargsf, PyObject* kwnames,
                    Body&& body) noexcept;

// Traceback entry for the signature's qualified name.
void add_entry_traceback(const Signature& sig) noexcept;

template <typename Body>
PyObject* run_entry(const Signature& sig, PyObject* const* args, size_t nargsf, PyObject* kwnames,
                    Body&& body) noexcept {
    return boundary(
        [&]() -> PyObject* {
            BoundArgs bound;
            bind_arguments(sig, args, nargsf, kwnames, bound);
            try {
                return body(static_cast<const Arg*>(bound.a)).release();
            } catch (const PyError&) {
                add_entry_traceback(sig);
                throw;
            }
        },
        static_cast<PyObject*>(nullptr));
}

}  // namespace quarrin
