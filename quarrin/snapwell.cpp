// quarrin.snapwell: module definition, create and exec steps, and the function objects.
#include "snapwell.hpp"

#include "capture.hpp"
#include "motion.hpp"
#include "snapwell_args.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/ndarrayobject.h>
#include <numpy/ufuncobject.h>
#include <frameobject.h>
#include <structmember.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace quarrin {

ModuleState state;

// ---- interned names -----------------------------------------------------------------------------

namespace {
std::vector<Name*>& name_registry() {
    static std::vector<Name*> names;
    return names;
}
}  // namespace

Name::Name(const char* text) : text_(text) { name_registry().push_back(this); }

void Name::create_all() {
    for (Name* n : name_registry()) {
        if (n->obj_) continue;  // a failed import may have created some already
        n->obj_ = PyUnicode_InternFromString(n->text_);
        if (!n->obj_) throw PyError{};
    }
}

// ---- services -------------------------------------------------------------------------------------

Ref global(PyObject* name) {
    PyObject* found = PyDict_GetItemWithError(state.dict, name);
    if (found) return Ref::borrow(found);
    if (PyErr_Occurred()) throw PyError{};
    PyObject* value = PyObject_GetAttr(state.builtins, name);
    if (value) return Ref::steal(value);
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        raise_format(PyExc_NameError, "name '%U' is not defined", name);
    }
    throw PyError{};
}

void add_traceback(const char* funcname, int lineno) noexcept {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyCodeObject* code = PyCode_NewEmpty(kModuleFile, funcname, lineno);
    PyObject* globals = state.dict ? state.dict : nullptr;
    Ref fresh;
    if (!globals) {
        fresh = Ref::steal(PyDict_New());
        globals = fresh.get();
    }
    PyFrameObject* frame = (code && globals) ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    Py_XDECREF(code);
    PyErr_Clear();  // a failure to build the entry must not replace the real error
    PyErr_Restore(type, value, tb);
    if (frame) {
#if PY_VERSION_HEX < 0x030B0000
        frame->f_lineno = lineno;
#endif
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

void print(std::initializer_list<PyObject*> args) {
    Ref r = Ref::check(PyObject_Vectorcall(state.print, const_cast<PyObject**>(args.begin()), args.size(), nullptr));
}

void unpack(PyObject* obj, Ref* items, Py_ssize_t n, bool python_wording) {
    auto too_few = [&](Py_ssize_t found) {
        if (python_wording) {
            raise_format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", n, found);
        }
        raise_format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found, found == 1 ? "" : "s");
    };
    if (PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(obj);
        if (size == n) {
            PyObject** src = PySequence_Fast_ITEMS(obj);
            for (Py_ssize_t i = 0; i < n; ++i) items[i] = Ref::borrow(src[i]);
            return;
        }
        if (size > n) raise_format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
        too_few(size);
    }
    Ref it = Ref::steal(PyObject_GetIter(obj));
    if (!it) {
        if (python_wording && PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(obj)->tp_iter &&
            !PySequence_Check(obj)) {
            PyErr_Clear();
            raise_format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(obj)->tp_name);
        }
        throw PyError{};
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        items[i] = Ref::steal(PyIter_Next(it.get()));
        if (!items[i]) {
            if (PyErr_Occurred()) throw PyError{};
            too_few(i);
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) raise_format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
    if (PyErr_Occurred()) throw PyError{};
}

void require_ndarray_or_none(PyObject* obj) {
    if (obj == Py_None || PyObject_TypeCheck(obj, state.ndarray)) return;
    raise_format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(obj)->tp_name, state.ndarray->tp_name);
}

// ---- function objects -----------------------------------------------------------------------------

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
    const int flags = CO_OPTIMIZED | CO_NEWLOCALS;
#if PY_VERSION_HEX >= 0x030B0000
#if PY_VERSION_HEX >= 0x030C0000
#define QUARRIN_CODE_NEW PyUnstable_Code_NewWithPosOnlyArgs
#else
#define QUARRIN_CODE_NEW PyCode_NewWithPosOnlyArgs
#endif
    Ref qualname = Ref::check(PyUnicode_InternFromString(sig.name));
    PyCodeObject* code = QUARRIN_CODE_NEW(
        sig.nparams, 0, 0, sig.nparams, 0, flags, empty_bytes.get(), empty_tuple.get(), empty_tuple.get(),
        varnames.get(), empty_tuple.get(), empty_tuple.get(), filename.get(), name.get(), qualname.get(),
        sig.firstlineno, empty_bytes.get(), empty_bytes.get());
#else
    PyCodeObject* code = PyCode_NewWithPosOnlyArgs(
        sig.nparams, 0, 0, sig.nparams, 0, flags, empty_bytes.get(), empty_tuple.get(), empty_tuple.get(),
        varnames.get(), empty_tuple.get(), empty_tuple.get(), filename.get(), name.get(), sig.firstlineno,
        empty_bytes.get());
    // The constructor marks a code object without free variables CO_NOFREE; these describe a
    // signature only and keep exactly the two flags of a plain function.
    if (code) code->co_flags = flags;
#endif
    return Ref::check(reinterpret_cast<PyObject*>(code));
}

Ref make_function(const Signature& sig, vectorcallfunc entry, PyObject* code, PyObject* defaults) {
    auto* f = PyObject_GC_New(FunctionObject, &FunctionType);
    if (!f) throw PyError{};
    f->vectorcall = entry;
    f->sig = &sig;
    f->name = f->qualname = f->module = f->globals = f->code = f->defaults = nullptr;
    f->doc = f->kwdefaults = f->annotations = f->dict = nullptr;
    Ref obj = Ref::steal(reinterpret_cast<PyObject*>(f));
    f->name = PyUnicode_InternFromString(sig.name);
    if (!f->name) throw PyError{};
    f->qualname = Ref::borrow(f->name).release();
    f->module = PyUnicode_InternFromString(kModuleName);
    if (!f->module) throw PyError{};
    f->globals = Ref::borrow(state.dict).release();
    f->code = Ref::borrow(code).release();
    f->defaults = Ref::borrow(defaults).release();  // may stay NULL: __defaults__ is None
    f->annotations = PyDict_New();
    if (!f->annotations) throw PyError{};
    PyObject_GC_Track(obj.get());
    return obj;
}

// ---- exec step helpers ------------------------------------------------------------------------------

// Packs up to four dot-separated decimal components of a version text, one byte each, major first.
uint32_t pack_version(const char* text) {
    uint32_t packed = 0;
    int shift = 24;
    const char* p = text;
    for (int component = 0; component < 4; ++component) {
        unsigned value = 0;
        bool digits = false;
        while (*p >= '0' && *p <= '9') {
            value = value * 10 + unsigned(*p - '0');
            ++p;
            digits = true;
        }
        if (!digits) break;
        packed |= (value & 0xFFu) << shift;
        shift -= 8;
        if (*p != '.') break;
        ++p;
    }
    return packed;
}

// Warns (RuntimeWarning) when the running interpreter is not the major.minor the module was built for.
void check_python_version() {
    const uint32_t running = pack_version(Py_GetVersion());
    const int major = int(running >> 24), minor = int((running >> 16) & 0xFF);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return;
    char message[200];
    std::snprintf(message, sizeof message, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, kModuleName, "does not match", major, minor);
    if (PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) < 0) throw PyError{};
}

// NumPy's C-API table is fetched only to check that the running NumPy is one this module works with.
void check_numpy_api() {
    try {
        Ref umath = Ref::steal(PyImport_ImportModule("numpy._core._multiarray_umath"));
        if (!umath) {
            if (!PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) throw PyError{};
            PyErr_Clear();
            umath = Ref::check(PyImport_ImportModule("numpy.core._multiarray_umath"));
        }
        Ref capsule = Ref::check(PyObject_GetAttrString(umath.get(), "_ARRAY_API"));
        if (!PyCapsule_CheckExact(capsule.get())) raise(PyExc_RuntimeError, "_ARRAY_API is not a capsule");
        auto** api = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
        if (!api) raise(PyExc_RuntimeError, "_ARRAY_API is NULL pointer");
        // Entries 0, 210 and 211 of the table: ABI version, byte order, C-API feature version.
        const auto abi_version = reinterpret_cast<unsigned int (*)(void)>(api[0])();
        if (abi_version > 0x02000000u) raise(PyExc_RuntimeError, "NumPy ABI version is newer than supported");
        const auto feature_version = reinterpret_cast<unsigned int (*)(void)>(api[211])();
        if (feature_version < 0xEu) raise(PyExc_RuntimeError, "NumPy C-API feature version is older than 1.20");
        const auto endianness = reinterpret_cast<int (*)(void)>(api[210])();
        if (endianness != NPY_CPU_LITTLE) raise(PyExc_RuntimeError, "NumPy byte order does not match this module");
    } catch (const PyError&) {
        PyErr_Clear();
        raise(PyExc_ImportError,
              "numpy.core.multiarray failed to import (quarrin.snapwell needs NumPy 1.20 or later, built for "
              "this platform; reinstall numpy)");
    }
}

enum class SizeRule { Exact, WarnLarger, AllowLarger };

PyTypeObject* import_type(PyObject* module, const char* module_name, const char* type_name, size_t expected,
                          SizeRule rule) {
    Ref obj = Ref::check(PyObject_GetAttrString(module, type_name));
    if (!PyType_Check(obj.get())) {
        raise_format(PyExc_TypeError, "%.200s.%.200s is not a type object", module_name, type_name);
    }
    auto* type = reinterpret_cast<PyTypeObject*>(obj.get());
    const Py_ssize_t found = type->tp_basicsize;
    const auto want = Py_ssize_t(expected);
    if (found < want) {
        raise_format(PyExc_ValueError,
                     "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd from C header, "
                     "got %zd from PyObject",
                     module_name, type_name, want, found);
    }
    if (found > want && rule == SizeRule::WarnLarger) {
        char message[640];
        std::snprintf(message, sizeof message,
                      "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd from C header, "
                      "got %zd from PyObject",
                      module_name, type_name, want, found);
        if (PyErr_WarnEx(PyExc_RuntimeWarning, message, 0) < 0) throw PyError{};
    }
    return reinterpret_cast<PyTypeObject*>(obj.release());  // kept for the life of the process
}

void import_types() {
    import_type(state.builtins, "builtins", "type", sizeof(PyHeapTypeObject), SizeRule::WarnLarger);
    Ref numpy = Ref::check(PyImport_ImportModule("numpy"));
    PyObject* np = numpy.get();
    import_type(np, "numpy", "dtype", sizeof(PyArray_Descr), SizeRule::AllowLarger);
    import_type(np, "numpy", "flatiter", sizeof(PyArrayIterObject), SizeRule::AllowLarger);
    import_type(np, "numpy", "broadcast", sizeof(PyArrayMultiIterObject), SizeRule::AllowLarger);
    state.ndarray = import_type(np, "numpy", "ndarray", sizeof(PyArrayObject_fields), SizeRule::AllowLarger);
    for (const char* scalar : {"generic", "number", "integer", "signedinteger", "unsignedinteger", "inexact",
                               "floating", "complexfloating", "flexible", "character"}) {
        import_type(np, "numpy", scalar, sizeof(PyObject), SizeRule::WarnLarger);
    }
    import_type(np, "numpy", "ufunc", sizeof(PyUFuncObject), SizeRule::AllowLarger);
}

// `import name` with the module dictionary as globals; a module already in sys.modules is used as is.
Ref import_module(PyObject* name) {
    PyObject* cached = PyDict_GetItemWithError(PyImport_GetModuleDict(), name);
    if (cached && cached != Py_None) return Ref::borrow(cached);
    if (PyErr_Occurred()) throw PyError{};
    return Ref::check(PyImport_ImportModuleLevelObject(name, state.dict, nullptr, nullptr, 0));
}

// `from module_name import names...`, binding each name in the module dictionary.
void import_from(const char* module_name, std::initializer_list<const char*> names) {
    Ref modname = Ref::check(PyUnicode_InternFromString(module_name));
    Ref from_list = Ref::check(PyList_New(0));
    for (const char* n : names) {
        Ref item = Ref::check(PyUnicode_InternFromString(n));
        if (PyList_Append(from_list.get(), item.get()) < 0) throw PyError{};
    }
    Ref module;
    PyObject* cached = PyDict_GetItemWithError(PyImport_GetModuleDict(), modname.get());
    if (!cached && PyErr_Occurred()) throw PyError{};
    if (cached && cached != Py_None) {
        bool complete = true;
        for (const char* n : names) complete = complete && PyObject_HasAttrString(cached, n);
        if (complete) module = Ref::borrow(cached);
    }
    if (!module) {
        module = Ref::check(PyImport_ImportModuleLevelObject(modname.get(), state.dict, nullptr, from_list.get(), 0));
    }
    for (const char* n : names) {
        Ref attr_name = Ref::check(PyUnicode_InternFromString(n));
        Ref value = Ref::steal(PyObject_GetAttr(module.get(), attr_name.get()));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyError{};
            PyErr_Clear();
            Ref full = Ref::check(PyUnicode_FromFormat("%s.%s", module_name, n));
            PyObject* sub = PyDict_GetItemWithError(PyImport_GetModuleDict(), full.get());
            if (!sub) {
                if (PyErr_Occurred()) throw PyError{};
                raise_format(PyExc_ImportError, "cannot import name %S", attr_name.get());
            }
            value = Ref::borrow(sub);
        }
        if (PyDict_SetItem(state.dict, attr_name.get(), value.get()) < 0) throw PyError{};
    }
}

void bind_import(const char* bound_as, const char* module_name) {
    Ref name = Ref::check(PyUnicode_InternFromString(module_name));
    Ref module = import_module(name.get());
    if (PyDict_SetItemString(state.dict, bound_as, module.get()) < 0) throw PyError{};
}

Ref bound_builtin(const char* name) {
    Ref key = Ref::check(PyUnicode_InternFromString(name));
    Ref value = Ref::steal(PyObject_GetAttr(state.builtins, key.get()));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            raise_format(PyExc_NameError, "name '%U' is not defined", key.get());
        }
        throw PyError{};
    }
    return value;
}

// Steps from the NumPy check on; failures here carry the "init quarrin.snapwell" traceback entry.
void exec_body() {
    check_numpy_api();

    PyObject* modules = PyImport_GetModuleDict();
    Ref key = py_str(kModuleName);
    const int registered = PyDict_Contains(modules, key.get());
    if (registered < 0) throw PyError{};
    if (!registered && PyDict_SetItem(modules, key.get(), state.module) < 0) throw PyError{};

    Ref print_fn = bound_builtin("print");
    Ref open_fn = bound_builtin("open");

    if (!FunctionType.tp_dict) {
        init_function_type();
        if (PyType_Ready(&FunctionType) < 0) throw PyError{};
    }
    Ref code_rgb = make_code(sig_check_motion_rgb);
    Ref code_gray = make_code(sig_check_motion_gray);
    Ref code_capture = make_code(sig_vcapture);

    import_types();

    bind_import("sys", "sys");
    bind_import("os", "os");
    bind_import("argparse", "argparse");
    bind_import("time", "time");
    bind_import("re", "re");
    import_from("datetime", {"datetime", "timedelta"});
    bind_import("csv", "csv");
    bind_import("np", "numpy");
    bind_import("cv2", "cv2");
    import_from("matplotlib", {"colors"});
    bind_import("caputil", "caputil");

    // print and open are kept for the life of the process.
    state.print = print_fn.release();
    state.open = open_fn.release();

    struct Entry {
        const Signature& sig;
        vectorcallfunc entry;
        Ref& code;
        PyObject* defaults;
    } functions[] = {
        {sig_check_motion_rgb, reinterpret_cast<vectorcallfunc>(py_check_motion_rgb), code_rgb, state.motion_defaults},
        {sig_check_motion_gray, reinterpret_cast<vectorcallfunc>(py_check_motion_gray), code_gray,
         state.motion_defaults},
        {sig_vcapture, reinterpret_cast<vectorcallfunc>(py_vcapture), code_capture, nullptr},
    };
    for (auto& f : functions) {
        Ref fn = make_function(f.sig, f.entry, f.code.get(), f.defaults);
        if (PyDict_SetItemString(state.dict, f.sig.name, fn.get()) < 0) throw PyError{};
    }

    Ref test = Ref::check(PyDict_New());
    if (PyDict_SetItemString(state.dict, "__test__", test.get()) < 0) throw PyError{};
}

void create_constants() {
    Name::create_all();
    if (!state.full_slice2) {
        Ref all = Ref::check(PySlice_New(nullptr, nullptr, nullptr));
        Ref all2 = Ref::borrow(all.get());
        state.full_slice2 = tuple_of(std::move(all), std::move(all2)).release();
    }
    if (!state.motion_defaults) {
        state.motion_defaults = tuple_of(py_int(21), Ref::borrow(Py_False)).release();
    }
}

int snapwell_exec(PyObject* module) noexcept {
    if (state.module) {
        if (state.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'snapwell' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    state.module = Ref::borrow(module).release();
    bool entry_on_failure = false;
    const int rc = boundary(
        [&]() -> int {
            state.dict = PyModule_GetDict(module);  // borrowed: lives as long as the module
            if (!state.dict) throw PyError{};
            if (!state.builtins) state.builtins = Ref::check(PyImport_ImportModule("builtins")).release();
            if (PyObject_SetAttrString(module, "__builtins__", state.builtins) < 0) throw PyError{};
            check_python_version();
            create_constants();
            entry_on_failure = true;
            exec_body();
            return 0;
        },
        -1);
    if (rc < 0) {
        if (entry_on_failure) add_traceback("init quarrin.snapwell", 1);
        Py_CLEAR(state.module);
        state.dict = nullptr;
    }
    return rc;
}

// Copies spec.<attr> into the module dictionary as <key>; a missing attribute is skipped.
void copy_spec_attr(PyObject* spec, PyObject* dict, const char* attr, const char* key, bool skip_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, attr));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyError{};
        PyErr_Clear();
        return;
    }
    if (skip_none && value.get() == Py_None) return;
    if (PyDict_SetItemString(dict, key, value.get()) < 0) throw PyError{};
}

PyObject* snapwell_create(PyObject* spec, PyModuleDef*) noexcept {
    const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1 && PyErr_Occurred()) return nullptr;
    if (state.interpreter_id == -1) {
        state.interpreter_id = id;
    } else if (state.interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    if (state.module) return Ref::borrow(state.module).release();
    return boundary(
        [&]() -> PyObject* {
            Ref name = getattr(spec, Ref::check(PyUnicode_InternFromString("name")).get());
            Ref module = Ref::check(PyModule_NewObject(name.get()));
            PyObject* dict = PyModule_GetDict(module.get());
            if (!dict) throw PyError{};
            copy_spec_attr(spec, dict, "loader", "__loader__", false);
            copy_spec_attr(spec, dict, "origin", "__file__", false);
            copy_spec_attr(spec, dict, "parent", "__package__", false);
            copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", true);
            return module.release();
        },
        static_cast<PyObject*>(nullptr));
}

PyModuleDef_Slot snapwell_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(snapwell_create)},
    {Py_mod_exec, reinterpret_cast<void*>(snapwell_exec)},
    {0, nullptr}};

PyModuleDef snapwell_def = {
    PyModuleDef_HEAD_INIT,
    "snapwell",
    nullptr,  // no docstring
    0,        // all state is process-wide
    nullptr,  // no method table: the functions are created by the exec step
    snapwell_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quarrin

PyMODINIT_FUNC PyInit_snapwell(void) { return PyModuleDef_Init(&quarrin::snapwell_def); }
