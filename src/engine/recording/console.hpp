// The recording's operator lines: printed with the print bound at import, as vcapture always has,
// or handed one line at a time to a callable of the caller's (the front end's log).
#pragma once

#include "core/runtime.hpp"

namespace quarrin {

class Console {
public:
    explicit Console(PyObject* log, PyObject* notify = Py_None) : log_(log), notify_(notify) {}
    // print(*args); to a log: the args joined by one space, split into lines, one call per line.
    void line(std::initializer_list<PyObject*> args) { send(log_, args); }
    // What the operator must see whatever the log does (a signal lost or back): to notify, or printed.
    void notice(std::initializer_list<PyObject*> args) { send(notify_, args); }

private:
    static void send(PyObject* target, std::initializer_list<PyObject*> args);
    PyObject* log_;     // borrowed from the call's arguments; None: print
    PyObject* notify_;  // the same, for notices
};

}  // namespace quarrin
