// The recording's operator lines: printed with the print bound at import, as vcapture always has,
// or handed one line at a time to a callable of the caller's (the front end's log).
#pragma once

#include "core/runtime.hpp"

namespace quarrin {

class Console {
public:
    explicit Console(PyObject* log) : log_(log) {}
    // print(*args); to a log: the args joined by one space, split into lines, one call per line.
    void line(std::initializer_list<PyObject*> args);

private:
    PyObject* log_;  // borrowed from the call's arguments; None: print
};

}  // namespace quarrin
