// The function objects of the module: called with the fast-call convention, and looking like
// Python functions to introspection (__code__, __defaults__, __globals__, ...), so that pydoc and
// inspect.signature show the real parameter lists.
#include "args/function.hpp"

#include "core/compat.hpp"

#include <structmember.h>

namespace quarrin {

namespace {

// A module-level function: called with the fast-call convention, and looking like a Python
// function to introspection (__code__, __defaults__, __globals__, ...).
struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const Signature* sig;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* globals;
    PyObject* code;
    PyObject* defaults;
    PyObject* doc;         // always NULL: __doc__ is None
    PyObject* kwdefaults;  // always NULL: no keyword-only parameters
    PyObject* annotations;
    PyObject* dict;
};

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(f->defaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    return 0;
}

int function_clear(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->code);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    function_clear(self);
    Py_TYPE(self)->tp_free(self);
}

PyObject* function_repr(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

// Functions bind as methods when stored on a class, like Python functions do.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

PyMemberDef function_members[] = {
    {"__name__", T_OBJECT, offsetof(FunctionObject, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(FunctionObject, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), READONLY, nullptr},
    {"__globals__", T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {"__code__", T_OBJECT, offsetof(FunctionObject, code), READONLY, nullptr},
    {"__defaults__", T_OBJECT, offsetof(FunctionObject, defaults), READONLY, nullptr},
    {"__kwdefaults__", T_OBJECT, offsetof(FunctionObject, kwdefaults), READONLY, nullptr},
    {"__annotations__", T_OBJECT, offsetof(FunctionObject, annotations), READONLY, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyGetSetDef function_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyTypeObject FunctionType;  // filled in by init_function_type() before PyType_Ready

void init_function_type() {
    Py_SET_REFCNT(&FunctionType, 1);  // static type: never deallocated
    FunctionType.tp_name = "quarrin.snapwell.function";
    FunctionType.tp_basicsize = sizeof(FunctionObject);
    FunctionType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL;
    FunctionType.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    FunctionType.tp_call = PyVectorcall_Call;
    FunctionType.tp_dealloc = function_dealloc;
    FunctionType.tp_traverse = function_traverse;
    FunctionType.tp_clear = function_clear;
    FunctionType.tp_repr = function_repr;
    FunctionType.tp_descr_get = function_descr_get;
    FunctionType.tp_members = function_members;
    FunctionType.tp_getset = function_getset;
    FunctionType.tp_dictoffset = offsetof(FunctionObject, dict);
}

// Code object describing a signature: argcount and nlocals equal to the number of parameters,
// the parameter names as co_varnames, flags CO_OPTIMIZED | CO_NEWLOCALS only.
Ref make_code(const Signature& sig) {
    Ref varnames = Ref::check(PyTuple_New(sig.nparams));
    for (int i = 0; i < sig.nparams; ++i) {
        PyTuple_SET_ITEM(varnames.get(), i, Ref::borrow(sig.params[i].name->get()).release());
    }
    Ref empty_bytes = Ref::check(PyBytes_FromStringAndSize(nullptr, 0));
    Ref empty_tuple = Ref::check(PyTuple_New(0));
    Ref filename = py_str(kModuleFile);
    Ref name = Ref::check(PyUnicode_InternFromString(sig.name));
    PyCodeObject* code = compat::new_code(sig.nparams, sig.nparams, CO_OPTIMIZED | CO_NEWLOCALS, empty_bytes.get(),
                                          empty_tuple.get(), empty_tuple.get(), varnames.get(), empty_tuple.get(),
                                          empty_tuple.get(), filename.get(), name.get(), name.get(), sig.firstlineno,
                                          empty_bytes.get(), empty_bytes.get());
    return Ref::check(reinterpret_cast<PyObject*>(code));
}

}  // namespace

Ref make_defaults(const Signature& sig) {
    if (sig.nrequired == sig.nparams) return Ref();
    Ref defaults = Ref::check(PyTuple_New(sig.nparams - sig.nrequired));
    for (int i = sig.nrequired; i < sig.nparams; ++i) {
        PyTuple_SET_ITEM(defaults.get(), i - sig.nrequired, param_value(sig, i, sig.defaults).release());
    }
    return defaults;
}

void ready_function_type() {
    if (FunctionType.tp_dict) return;
    init_function_type();
    require(PyType_Ready(&FunctionType));
}

Ref make_function(const Signature& sig, vectorcallfunc entry, PyObject* defaults) {
    Ref code = make_code(sig);
    auto* f = PyObject_GC_New(FunctionObject, &FunctionType);
    if (!f) throw PyError{};
    f->vectorcall = entry;
    f->sig = &sig;
    f->name = f->qualname = f->module = f->globals = f->code = f->defaults = nullptr;
    f->doc = f->kwdefaults = f->annotations = f->dict = nullptr;
    Ref obj = Ref::steal(reinterpret_cast<PyObject*>(f));
    f->name = Ref::check(PyUnicode_InternFromString(sig.name)).release();
    f->qualname = Ref::borrow(f->name).release();
    f->module = Ref::check(PyUnicode_InternFromString(kModuleName)).release();
    f->globals = Ref::borrow(state.dict).release();
    f->code = code.release();
    f->defaults = Ref::borrow(defaults).release();  // may stay NULL: __defaults__ is None
    f->annotations = Ref::check(PyDict_New()).release();
    PyObject_GC_Track(obj.get());
    return obj;
}

}  // namespace quarrin
