// Argument matching: a signature is declared once, as a table of parameters that point into the
// entry's own typed argument struct, and bind_arguments() matches a fast call against it, converts
// the scalars, type-tests the text and array parameters and validates the arrays, filling the
// struct. run_entry() is the whole Python-facing entry around a typed implementation. This layer
// knows no entry: the motion and capture units declare their own tables.
#pragma once

#include "args/buffers.hpp"
#include "core/runtime.hpp"

#include <cstddef>
#include <cstdint>

namespace quarrin {

// What a parameter holds once bound, and so the type of its field:
//   Integer int32_t, Number double, Flag bool, Text / Array / Object PyObject* (borrowed).
enum class Kind : uint8_t { Integer, Number, Flag, Text, Array, Object };

struct Param {
    const Name* name;
    Kind kind;
    size_t offset;            // of the field in the entry's argument struct
    Elem elem = Elem::None;   // arrays only
    int ndim = 0;             // arrays only
};

struct Signature {
    const char* name;      // "check_motion_gray"
    const char* qualname;  // "quarrin.snapwell.check_motion_gray", used for traceback entries
    int firstlineno;
    const Param* params;
    int nparams;
    int nrequired;         // the first nrequired parameters must be given
    const void* defaults;  // a default-constructed argument struct: the optional parameters' values
};

inline constexpr int kMaxParams = 64;

template <typename T, size_t N>
constexpr int count_of(const T (&)[N]) {
    return int(N);
}

// A type-test failure: it carries no traceback entry of the signature.
struct UntracedError : PyError {};

// The views of a call's array arguments, held until the call returns.
struct HeldViews {
    BufferView views[kMaxParams];
};

// Matches the call to the signature and fills `out` (an argument struct whose fields hold the
// defaults already): converts the scalar parameters, tests the types of the text and array ones
// (UntracedError) and validates the arrays (views held in `views`).
void bind_arguments(const Signature& sig, PyObject* const* args, size_t nargsf, PyObject* kwnames, void* out,
                    HeldViews& views);

// The value of parameter i in an argument struct, as a new Python object (for __defaults__).
Ref param_value(const Signature& sig, int i, const void* args);

// Adds the signature's traceback entry to the pending exception.
inline void add_entry_traceback(const Signature& sig) noexcept { add_traceback(sig.qualname, sig.firstlineno); }

// The whole Python-facing entry: binds the call into a fresh Args, runs impl(const Args&) -> Ref,
// and adds the signature's traceback entry to every failure but a type test's. Views are released
// on every path.
template <typename Args, typename Impl>
PyObject* run_entry(const Signature& sig, PyObject* const* args, size_t nargsf, PyObject* kwnames,
                    Impl&& impl) noexcept {
    return boundary(
        [&]() -> PyObject* {
            try {
                Args bound{};
                HeldViews views;
                bind_arguments(sig, args, nargsf, kwnames, &bound, views);
                return impl(static_cast<const Args&>(bound)).release();
            } catch (const UntracedError&) {
                throw;
            } catch (const PyError&) {
                add_entry_traceback(sig);
                throw;
            }
        },
        static_cast<PyObject*>(nullptr));
}

}  // namespace quarrin
