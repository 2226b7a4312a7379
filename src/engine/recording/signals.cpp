// Ctrl-C between frames (see signals.hpp).
#include "recording/signals.hpp"

#include "recording/names.hpp"

namespace quarrin {

namespace {

using SigintNote = std::shared_ptr<std::atomic<bool>>;
constexpr const char kNoteCapsule[] = "quarrin.snapwell.sigint_note";

PyObject* note_sigint(PyObject* self, PyObject* const*, Py_ssize_t) {
    auto* note = static_cast<SigintNote*>(PyCapsule_GetPointer(self, kNoteCapsule));
    if (!note) return nullptr;
    (*note)->store(true);
    Py_RETURN_NONE;
}

PyMethodDef note_sigint_def = {"vcapture_sigint",
                               reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(note_sigint)),
                               METH_FASTCALL, "Notes a Ctrl-C for the running recording."};

void free_note(PyObject* capsule) { delete static_cast<SigintNote*>(PyCapsule_GetPointer(capsule, kNoteCapsule)); }

// signal.signal(signum, a handler that notes the signal into `note`); false in a thread that is not
// the main one (where Python never runs handlers).
bool install_note(PyObject* module, PyObject* signum, const SigintNote& note) {
    Ref capsule = Ref::check(PyCapsule_New(new SigintNote(note), kNoteCapsule, free_note));
    Ref handler = Ref::check(PyCFunction_New(&note_sigint_def, capsule.get()));
    PyObject* argv[] = {module, signum, handler.get()};
    Ref installed = Ref::steal(PyObject_VectorcallMethod(n_signal, argv, 3, nullptr));
    if (installed) return true;
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw PyError{};
    PyErr_Clear();
    return false;
}

}  // namespace

// Swaps the handler when the default one is installed; elsewhere (another handler, or a thread
// that is not the main one, where Python never runs handlers) changes nothing. With
// `defer_sigterm`, a SIGTERM handler written in Python is swapped likewise.
void SigintDeferral::begin(bool defer_sigterm) {
    module_ = Ref::check(PyImport_Import(n_signal));
    Ref signum = getattr(module_.get(), n_SIGINT);
    Ref current = call_method(module_.get(), n_getsignal, {signum.get()});
    Ref standard = getattr(module_.get(), n_default_int_handler);
    if (current.get() == standard.get()) {
        auto note = std::make_shared<std::atomic<bool>>(false);
        if (!install_note(module_.get(), signum.get(), note)) return;
        previous_ = std::move(current);
        noted_ = std::move(note);
    }
    if (!defer_sigterm) return;
    Ref term = getattr(module_.get(), n_SIGTERM);
    Ref handler = call_method(module_.get(), n_getsignal, {term.get()});
    // SIG_DFL and SIG_IGN are ints; None is a handler installed from C.
    if (!PyCallable_Check(handler.get())) return;
    auto note = std::make_shared<std::atomic<bool>>(false);
    if (!install_note(module_.get(), term.get(), note)) return;
    term_handler_ = std::move(handler);
    term_installed_ = true;
    term_noted_ = std::move(note);
}

void SigintDeferral::raise_noted() {
    if (noted_ && noted_->exchange(false)) {
        PyErr_SetNone(PyExc_KeyboardInterrupt);
        throw PyError{};
    }
    if (term_noted_ && term_noted_->exchange(false)) {
        Ref signum = getattr(module_.get(), n_SIGTERM);
        call(term_handler_.get(), {signum.get(), Py_None});
    }
}

// Puts the previous handlers back.
void SigintDeferral::end() {
    if (term_installed_) {
        term_installed_ = false;
        Ref signum = getattr(module_.get(), n_SIGTERM);
        call_method(module_.get(), n_signal, {signum.get(), term_handler_.get()});
    }
    if (!previous_) return;
    Ref previous = std::move(previous_);
    Ref signum = getattr(module_.get(), n_SIGINT);
    call_method(module_.get(), n_signal, {signum.get(), previous.get()});
}

// end() while an exception is in flight: that exception wins, a noted Ctrl-C or SIGTERM is dropped.
void SigintDeferral::end_quietly() noexcept {
    if (!previous_ && !term_installed_) return;
    ErrorStash stash;
    attempt([&] { end(); });
    PyErr_Clear();
    if (noted_) noted_->store(false);
    if (term_noted_) term_noted_->store(false);
}

}  // namespace quarrin
