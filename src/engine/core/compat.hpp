// Version shims: the few CPython APIs whose names or fields differ across 3.10 to 3.13.
#pragma once

#include "core/pyref.hpp"

#include <frameobject.h>

namespace quarrin::compat {

// A code object with positional-only and keyword-only counts, as the running version spells it.
inline PyCodeObject* new_code(int argcount, int nlocals, int flags, PyObject* code, PyObject* consts,
                              PyObject* names, PyObject* varnames, PyObject* freevars, PyObject* cellvars,
                              PyObject* filename, PyObject* name, PyObject* qualname, int firstlineno,
                              PyObject* linetable, PyObject* exceptiontable) {
#if PY_VERSION_HEX >= 0x030C0000
    return PyUnstable_Code_NewWithPosOnlyArgs(argcount, 0, 0, nlocals, 0, flags, code, consts, names, varnames,
                                              freevars, cellvars, filename, name, qualname, firstlineno, linetable,
                                              exceptiontable);
#elif PY_VERSION_HEX >= 0x030B0000
    return PyCode_NewWithPosOnlyArgs(argcount, 0, 0, nlocals, 0, flags, code, consts, names, varnames, freevars,
                                     cellvars, filename, name, qualname, firstlineno, linetable, exceptiontable);
#else
    (void)qualname;
    (void)exceptiontable;
    PyCodeObject* made = PyCode_NewWithPosOnlyArgs(argcount, 0, 0, nlocals, 0, flags, code, consts, names, varnames,
                                                   freevars, cellvars, filename, name, firstlineno, linetable);
    // 3.10 marks a code object without free variables CO_NOFREE; ours keep exactly the flags given.
    if (made) made->co_flags = flags;
    return made;
#endif
}

// Before 3.11 a new frame reports line 0 unless told otherwise.
inline void set_frame_line(PyFrameObject* frame, int lineno) {
#if PY_VERSION_HEX < 0x030B0000
    frame->f_lineno = lineno;
#else
    (void)frame;
    (void)lineno;
#endif
}

}  // namespace quarrin::compat
