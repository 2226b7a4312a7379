// quarrin.snapwell: the module definition. The create and exec steps assemble the entries
// (motion checks, recorder) into function objects; everything they run lives in the lower layers.
#include "entries/capture.hpp"
#include "args/function.hpp"
#include "motion/motion.hpp"
#include "core/runtime.hpp"
#include "recording/blocking.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/ndarrayobject.h>
#include <numpy/ufuncobject.h>

#include <cstdio>
#include <cstring>

namespace quarrin {
namespace {

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
    require(PyErr_WarnEx(PyExc_RuntimeWarning, message, 1));
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
        require(PyErr_WarnEx(PyExc_RuntimeWarning, message, 0));
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
    require_no_error();
    return Ref::check(PyImport_ImportModuleLevelObject(name, state.dict, nullptr, nullptr, 0));
}

// `from module_name import names...`, binding each name in the module dictionary.
void import_from(const char* module_name, std::initializer_list<const char*> names) {
    Ref modname = Ref::check(PyUnicode_InternFromString(module_name));
    Ref from_list = Ref::check(PyList_New(0));
    for (const char* n : names) {
        Ref item = Ref::check(PyUnicode_InternFromString(n));
        require(PyList_Append(from_list.get(), item.get()));
    }
    Ref module;
    PyObject* cached = PyDict_GetItemWithError(PyImport_GetModuleDict(), modname.get());
    if (!cached) require_no_error();
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
                require_no_error();
                raise_format(PyExc_ImportError, "cannot import name %S", attr_name.get());
            }
            value = Ref::borrow(sub);
        }
        require(PyDict_SetItem(state.dict, attr_name.get(), value.get()));
    }
}

void bind_import(const char* bound_as, const char* module_name) {
    Ref name = Ref::check(PyUnicode_InternFromString(module_name));
    Ref module = import_module(name.get());
    require(PyDict_SetItemString(state.dict, bound_as, module.get()));
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

// quarrin._recorder: the front end's entry into the recorder (progress events, its own log and
// writer, the pipelined driver, and what the recording did). It lives in a module of its own, registered in sys.modules, so that this
// module's namespace stays exactly what it always was.
PyObject* py_calls_left(PyObject*, PyObject*) { return PyLong_FromLongLong(BlockingCalls::left_running()); }

PyMethodDef calls_left_def = {"calls_left", py_calls_left, METH_NOARGS,
                              "calls_left()\n--\n\nThe live sources' opens and reads that recordings stopped "
                              "while they blocked,\nstill running on threads of their own (each ends within its "
                              "timeout)."};

void register_companion() {
    Ref companion = Ref::check(PyModule_New(kCompanionName));
    Ref defaults = make_defaults(sig_record);
    Ref fn = make_function(sig_record, reinterpret_cast<vectorcallfunc>(py_record), defaults.get());
    require(PyModule_AddObjectRef(companion.get(), "record", fn.get()));
    Ref calls_left = Ref::check(PyCFunction_NewEx(&calls_left_def, nullptr, companion.get()));
    require(PyModule_AddObjectRef(companion.get(), "calls_left", calls_left.get()));
    add_outcome_types(companion.get());
    require(PyDict_SetItemString(PyImport_GetModuleDict(), kCompanionName, companion.get()));
}

// Two modules of the namespace no function reads: vcapture's users see them, and importing
// quarrin.snapwell fails without them. The front end loads the module for its recorder alone (the
// import record's loader_state names quarrin._recorder); it then does without them, matplotlib
// above all (a slow import), and their names wait in their places, bound to None, for the first
// import of quarrin.snapwell itself, which binds them (complete_namespace).
void bind_argparse() { bind_import("argparse", "argparse"); }
void bind_colors() { import_from("matplotlib", {"colors"}); }
constexpr struct {
    const char* name;
    void (*bind)();
} kUnread[] = {{"argparse", bind_argparse}, {"colors", bind_colors}};
bool unread_pending = false;

void bind_unread(int which, bool recorder_only) {
    if (!recorder_only) return kUnread[which].bind();
    require(PyDict_SetItemString(state.dict, kUnread[which].name, Py_None));
    unread_pending = true;
}

void complete_namespace() {
    for (const auto& unread : kUnread) unread.bind();
    unread_pending = false;
}

// Whether the import record of `module` asks for the recorder alone.
bool for_recorder_only(PyObject* module) {
    Ref spec = Ref::steal(PyObject_GetAttrString(module, "__spec__"));
    Ref wanted = spec ? Ref::steal(PyObject_GetAttrString(spec.get(), "loader_state")) : Ref();
    if (!wanted) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyError{};
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(wanted.get()) && PyUnicode_CompareWithASCIIString(wanted.get(), kCompanionName) == 0;
}

// Steps from the NumPy check on; failures here carry the "init quarrin.snapwell" traceback entry.
void exec_body(bool recorder_only) {
    unread_pending = false;  // a load that failed may have left it set
    check_numpy_api();

    PyObject* modules = PyImport_GetModuleDict();
    Ref key = py_str(kModuleName);
    const int registered = PyDict_Contains(modules, key.get());
    require(registered);
    if (!registered && !recorder_only) require(PyDict_SetItem(modules, key.get(), state.module));

    Ref print_fn = bound_builtin("print");
    Ref open_fn = bound_builtin("open");

    ready_function_type();

    import_types();

    bind_import("sys", "sys");
    bind_import("os", "os");
    bind_unread(0, recorder_only);  // argparse
    bind_import("time", "time");
    bind_import("re", "re");
    import_from("datetime", {"datetime", "timedelta"});
    bind_import("csv", "csv");
    bind_import("np", "numpy");
    bind_import("cv2", "cv2");
    bind_unread(1, recorder_only);  // colors
    bind_import("caputil", "caputil");

    // print and open are kept for the life of the process.
    state.print = print_fn.release();
    state.open = open_fn.release();

    // Both motion checks share one defaults tuple.
    Ref motion_defaults = make_defaults(sig_check_motion_rgb);
    const struct {
        const Signature& sig;
        vectorcallfunc entry;
        PyObject* defaults;
    } functions[] = {
        {sig_check_motion_rgb, reinterpret_cast<vectorcallfunc>(py_check_motion_rgb), motion_defaults.get()},
        {sig_check_motion_gray, reinterpret_cast<vectorcallfunc>(py_check_motion_gray), motion_defaults.get()},
        {sig_vcapture, reinterpret_cast<vectorcallfunc>(py_vcapture), nullptr},
    };
    for (const auto& f : functions) {
        Ref fn = make_function(f.sig, f.entry, f.defaults);
        require(PyDict_SetItemString(state.dict, f.sig.name, fn.get()));
    }

    Ref test = Ref::check(PyDict_New());
    require(PyDict_SetItemString(state.dict, "__test__", test.get()));

    register_companion();
}

void create_constants() {
    Name::create_all();
    if (!state.full_slice2) {
        Ref all = Ref::check(PySlice_New(nullptr, nullptr, nullptr));
        Ref all2 = Ref::borrow(all.get());
        state.full_slice2 = tuple_of(std::move(all), std::move(all2)).release();
    }
}

int snapwell_exec(PyObject* module) noexcept {
    if (state.module) {
        if (state.module != module) {
            PyErr_SetString(PyExc_RuntimeError,
                            "Module 'snapwell' has already been imported. Re-initialisation is not supported.");
            return -1;
        }
        if (!unread_pending) return 0;
        const int done = boundary(
            [&]() -> int {
                if (!for_recorder_only(module)) complete_namespace();
                return 0;
            },
            -1);
        if (done < 0) add_traceback("init quarrin.snapwell", 1);
        return done;
    }
    state.module = Ref::borrow(module).release();
    bool entry_on_failure = false;
    const int rc = boundary(
        [&]() -> int {
            state.dict = PyModule_GetDict(module);  // borrowed: lives as long as the module
            if (!state.dict) throw PyError{};
            if (!state.builtins) state.builtins = Ref::check(PyImport_ImportModule("builtins")).release();
            require(PyObject_SetAttrString(module, "__builtins__", state.builtins));
            check_python_version();
            create_constants();
            entry_on_failure = true;
            exec_body(for_recorder_only(module));
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

enum class IfNone { Copy, Skip };

// Copies spec.<attr> into the module dictionary as <key>; a missing attribute is skipped.
void copy_spec_attr(PyObject* spec, PyObject* dict, const char* attr, const char* key, IfNone if_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, attr));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyError{};
        PyErr_Clear();
        return;
    }
    if (if_none == IfNone::Skip && value.get() == Py_None) return;
    require(PyDict_SetItemString(dict, key, value.get()));
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
            copy_spec_attr(spec, dict, "loader", "__loader__", IfNone::Copy);
            copy_spec_attr(spec, dict, "origin", "__file__", IfNone::Copy);
            copy_spec_attr(spec, dict, "parent", "__package__", IfNone::Copy);
            copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", IfNone::Skip);
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
