// The recording's operator lines (see console.hpp).
#include "recording/console.hpp"

namespace quarrin {
namespace {
const Name n_text_space(" "), n_text_newline("\n");
}  // namespace

void Console::send(PyObject* target, std::initializer_list<PyObject*> args) {
    if (target == Py_None) {
        print(args);
        return;
    }
    Ref parts = Ref::check(PyList_New(0));
    for (PyObject* a : args) require(PyList_Append(parts.get(), Ref::check(PyObject_Str(a)).get()));
    Ref text = Ref::check(PyUnicode_Join(n_text_space, parts.get()));
    Ref lines = Ref::check(PyUnicode_Split(text.get(), n_text_newline, -1));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(lines.get()); ++i) call(target, {PyList_GET_ITEM(lines.get(), i)});
}

}  // namespace quarrin
