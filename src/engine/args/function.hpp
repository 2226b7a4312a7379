// The module's function type: a fast-call entry wrapped in an object that introspects like a
// Python function, built from the entry's signature.
#pragma once

#include "args/args.hpp"

namespace quarrin {

// Readies the type (once per process).
void ready_function_type();

// The values of the optional parameters, taken from the signature's default argument struct, as
// a tuple; no tuple at all (nullptr, __defaults__ None) when every parameter is required.
Ref make_defaults(const Signature& sig);

// A function object named after the signature, with a code object describing its parameters.
// `defaults` (borrowed, may be nullptr) becomes __defaults__; signatures with the same defaults
// share one tuple.
Ref make_function(const Signature& sig, vectorcallfunc entry, PyObject* defaults);

}  // namespace quarrin
