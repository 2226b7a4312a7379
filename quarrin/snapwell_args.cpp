// Argument matching, conversion, type tests and buffer validation for the exported entries.
#include "snapwell_args.hpp"

#include <climits>
#include <cstring>

namespace quarrin {

namespace {

// ---- parameter names and the three signatures ---------------------------------------------------

const Name n_current("current"), n_gray_cur("gray_cur"), n_blurred_prev("blurred_prev"),
    n_blurred_cur("blurred_cur"), n_threshold("threshold"), n_min_area("min_area"), n_kernel_width("kernel_width"),
    n_show_diff("show_diff");

const Name n_input("input_"), n_output("output"), n_fmt("fmt"), n_fps("fps"), n_interactive("interactive"),
    n_width("width"), n_height("height"), n_roi_x("roi_x"), n_roi_y("roi_y"), n_roi_w("roi_w"), n_roi_h("roi_h"),
    n_interval("interval"), n_duration("duration"), n_max_frames("max_frames"), n_motion_based("motion_based"),
    n_config("config"), n_timestamp("timestamp"), n_tb("tb"), n_tc("tc"), n_tx("tx"), n_ty("ty"), n_fs("fs");

constexpr Kind I = Kind::Integer, D = Kind::Number, F = Kind::Flag, S = Kind::Text, A = Kind::Array;

const Param motion_rgb_params[] = {
    {&n_current, A, Elem::UChar, 3},
    {&n_blurred_prev, A, Elem::UChar, 2},
    {&n_blurred_cur, A, Elem::UChar, 2},
    {&n_threshold, I},
    {&n_min_area, I},
    {&n_kernel_width, I, Elem::None, 0, 21},
    {&n_show_diff, F, Elem::None, 0, 0, false},
};

const Param motion_gray_params[] = {
    {&n_gray_cur, A, Elem::UChar, 2},
    {&n_blurred_prev, A, Elem::UChar, 2},
    {&n_blurred_cur, A, Elem::UChar, 2},
    {&n_threshold, I},
    {&n_min_area, I},
    {&n_kernel_width, I, Elem::None, 0, 21},
    {&n_show_diff, F, Elem::None, 0, 0, false},
};

const Param capture_params[] = {
    {&n_input, S},         {&n_output, S},       {&n_fmt, S},         {&n_fps, I},
    {&n_interactive, F},   {&n_width, I},        {&n_height, I},      {&n_roi_x, I},
    {&n_roi_y, I},         {&n_roi_w, I},        {&n_roi_h, I},       {&n_interval, D},
    {&n_duration, D},      {&n_max_frames, I},   {&n_motion_based, F}, {&n_config, F},
    {&n_threshold, I},     {&n_min_area, I},     {&n_kernel_width, I}, {&n_timestamp, F},
    {&n_show_diff, F},     {&n_tb, A, Elem::Int, 1}, {&n_tc, A, Elem::Int, 1}, {&n_tx, I},
    {&n_ty, I},            {&n_fs, D},
};

template <typename T, size_t N>
constexpr int count_of(const T (&)[N]) {
    return int(N);
}

}  // namespace

const Signature sig_check_motion_rgb = {"check_motion_rgb", "quarrin.snapwell.check_motion_rgb", 21,
                                        motion_rgb_params, count_of(motion_rgb_params), 5};
const Signature sig_check_motion_gray = {"check_motion_gray", "quarrin.snapwell.check_motion_gray", 34,
                                         motion_gray_params, count_of(motion_gray_params), 5};
const Signature sig_vcapture = {"vcapture", "quarrin.snapwell.vcapture", 80,
                                capture_params, count_of(capture_params), 26};
static_assert(sizeof(capture_params) / sizeof(Param) <= size_t(kMaxParams), "BoundArgs too small");

void add_entry_traceback(const Signature& sig) noexcept { add_traceback(sig.qualname, sig.firstlineno); }

// ---- matching ----------------------------------------------------------------------------------------

namespace {

[[noreturn]] void raise_count(const Signature& sig, Py_ssize_t given, bool too_many) {
    const bool exact = sig.nrequired == sig.nparams;
    const char* bound = exact ? "exactly" : (too_many ? "at most" : "at least");
    const Py_ssize_t expected = (exact || too_many) ? sig.nparams : sig.nrequired;
    raise_format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", sig.name, bound,
                 expected, expected == 1 ? "" : "s", given);
}

// Same parameter name? Identity first, then hash and text; a str subclass is compared with ==.
bool same_name(PyObject* key, PyObject* name) {
    if (key == name) return true;
    if (PyUnicode_CheckExact(key)) {
        return PyObject_Hash(key) == PyObject_Hash(name) && PyUnicode_Compare(key, name) == 0;
    }
    const int eq = PyObject_RichCompareBool(key, name, Py_EQ);
    if (eq < 0) throw PyError{};
    return eq != 0;
}

int find_param(const Signature& sig, PyObject* key, int from, int to) {
    for (int i = from; i < to; ++i) {
        if (sig.params[i].name->get() == key) return i;
    }
    for (int i = from; i < to; ++i) {
        if (same_name(key, sig.params[i].name->get())) return i;
    }
    return -1;
}

void match_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Arg* out) {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0) {
        if (nargs < sig.nrequired) raise_count(sig, nargs, false);
        if (nargs > sig.nparams) raise_count(sig, nargs, true);
    } else if (nargs > sig.nparams) {
        raise_count(sig, nargs, true);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        out[i].obj = args[i];
        out[i].given = true;
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) raise_format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
        const int index = find_param(sig, key, int(nargs), sig.nparams);
        if (index >= 0 && !out[index].given) {
            out[index].obj = args[nargs + k];
            out[index].given = true;
            continue;
        }
        if (index >= 0 || find_param(sig, key, 0, int(nargs)) >= 0) {
            raise_format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", sig.name, key);
        }
        raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
    }
    for (int i = int(nargs); i < sig.nrequired; ++i) {
        if (!out[i].given) raise_count(sig, i, false);
    }
}

// ---- conversions ---------------------------------------------------------------------------------------

int32_t int32_from_long(PyObject* value) {
    const long long v = PyLong_AsLongLong(value);
    if (v == -1 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            raise(PyExc_OverflowError, "Python int too large to convert to C long");
        }
        throw PyError{};
    }
    if (v < INT32_MIN || v > INT32_MAX) raise(PyExc_OverflowError, "Python int too large to convert to C long");
    return int32_t(v);
}

}  // namespace

int32_t to_int32(PyObject* value) {
    if (PyLong_Check(value)) return int32_from_long(value);
    PyNumberMethods* nb = Py_TYPE(value)->tp_as_number;
    if (!nb || !nb->nb_int) raise(PyExc_TypeError, "an integer is required");
    Ref result = Ref::check(nb->nb_int(value));
    if (!PyLong_CheckExact(result.get())) {
        if (!PyLong_Check(result.get())) {
            raise_format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(result.get())->tp_name);
        }
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an instance of a "
                             "strict subclass of int is deprecated, and may be removed in a future version of "
                             "Python.",
                             Py_TYPE(result.get())->tp_name) < 0) {
            throw PyError{};
        }
    }
    return int32_from_long(result.get());
}

double to_double(PyObject* value) {
    if (PyFloat_CheckExact(value)) return PyFloat_AS_DOUBLE(value);
    const double d = PyFloat_AsDouble(value);
    if (d == -1.0 && PyErr_Occurred()) throw PyError{};
    return d;
}

bool to_flag(PyObject* value) {
    if (value == Py_True) return true;
    if (value == Py_False || value == Py_None) return false;
    return truth(value);
}

namespace {

void convert_scalars(const Signature& sig, Arg* out) {
    for (int i = 0; i < sig.nparams; ++i) {
        const Param& p = sig.params[i];
        Arg& a = out[i];
        switch (p.kind) {
            case Kind::Integer: a.i = a.given ? to_int32(a.obj) : p.int_default; break;
            case Kind::Number: a.d = to_double(a.obj); break;  // number parameters are never optional
            case Kind::Flag: a.flag = a.given ? to_flag(a.obj) : p.flag_default; break;
            case Kind::Text:
            case Kind::Array: break;
        }
    }
}

void test_types(const Signature& sig, const Arg* in) {
    for (int i = 0; i < sig.nparams; ++i) {
        const Param& p = sig.params[i];
        PyObject* obj = in[i].obj;
        if (p.kind == Kind::Text) {
            if (obj == Py_None || PyUnicode_CheckExact(obj)) continue;
        } else if (p.kind == Kind::Array) {
            if (obj == Py_None || PyObject_TypeCheck(obj, state.ndarray)) continue;
        } else {
            continue;
        }
        raise_format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                     p.name->text(), p.kind == Kind::Text ? "str" : state.ndarray->tp_name, Py_TYPE(obj)->tp_name);
    }
}

}  // namespace

void bind_arguments(const Signature& sig, PyObject* const* args, size_t nargsf, PyObject* kwnames,
                    BoundArgs& out) {
    try {
        match_arguments(sig, args, PyVectorcall_NARGS(nargsf), kwnames, out.a);
        convert_scalars(sig, out.a);
    } catch (const PyError&) {
        add_entry_traceback(sig);
        throw;
    }
    test_types(sig, out.a);  // type-test failures carry no traceback entry
    try {
        for (int i = 0; i < sig.nparams; ++i) {
            const Param& p = sig.params[i];
            if (p.kind == Kind::Array) validate_array(out.a[i].obj, p.elem, p.ndim, out.views[i]);
        }
    } catch (const PyError&) {
        add_entry_traceback(sig);
        throw;
    }
}

// ---- buffer views ----------------------------------------------------------------------------------------

void BufferView::release() noexcept {
    if (!held_) return;
    held_ = false;
    ErrorStash stash;
    PyBuffer_Release(&view_);
}

namespace {

struct ElemType {
    const char* name;  // as used in messages
    char kind;         // 'U' unsigned, 'I' signed, 'C' character, 'R' real, 'X' complex, 'O' object
    size_t size;
};

ElemType elem_type(Elem e) {
    switch (e) {
        case Elem::UChar: return {"unsigned char", 'U', 1};
        case Elem::Int: return {"int", 'I', sizeof(int)};
        case Elem::None: break;
    }
    return {"", 0, 0};
}

}  // namespace

void BufferView::acquire(PyObject* obj, Elem elem, int ndim) {
    release();
    if (PyObject_GetBuffer(obj, &view_, PyBUF_FORMAT | PyBUF_STRIDES) < 0) throw PyError{};
    held_ = true;
    try {
        if (view_.ndim != ndim) {
            raise_format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", ndim,
                         view_.ndim);
        }
        check_buffer_format(view_.format ? view_.format : "B", elem);
        const ElemType want = elem_type(elem);
        if (size_t(view_.itemsize) != want.size) {
            raise_format(PyExc_ValueError, "Item size of buffer (%zd byte%s) does not match size of '%s' (%zd byte%s)",
                         view_.itemsize, view_.itemsize > 1 ? "s" : "", want.name, Py_ssize_t(want.size),
                         want.size > 1 ? "s" : "");
        }
    } catch (const PyError&) {
        release();
        throw;
    }
}

// ---- format checker -----------------------------------------------------------------------------------------
//
// Walks a struct-module format string (as buffer exporters describe their items) and checks that it
// describes exactly one element of the expected type: one element, at offset 0, of the same kind and
// size (a 'c' character matches any one-byte type), and nothing after it but padding. Structures are
// looked into: their fields count as the elements they contain.

namespace {

class FormatChecker {
public:
    FormatChecker(const char* format, const ElemType& want) : p_(format), want_(want) {}

    void run() {
        parse_sequence(false, false);
        if (!matched_) raise_format(PyExc_ValueError, "Buffer dtype mismatch, expected '%s' but got %s", want_.name, "end");
    }

private:
    struct CharInfo {
        char kind;
        size_t size;
        size_t align;
    };

    static const char* describe(char c, bool complex) {
        switch (c) {
            case '?': return "'bool'";
            case 'c': return "'char'";
            case 'b': return "'signed char'";
            case 'B': return "'unsigned char'";
            case 'h': return "'short'";
            case 'H': return "'unsigned short'";
            case 'i': return "'int'";
            case 'I': return "'unsigned int'";
            case 'l': return "'long'";
            case 'L': return "'unsigned long'";
            case 'q': return "'long long'";
            case 'Q': return "'unsigned long long'";
            case 'f': return complex ? "'complex float'" : "'float'";
            case 'd': return complex ? "'complex double'" : "'double'";
            case 'g': return complex ? "'complex long double'" : "'long double'";
            case 'O': return "Python object";
            case 's':
            case 'p': return "a string";
        }
        return "unparsable format string";
    }

    CharInfo info(char c, bool complex) const {
        const bool native = mode_ == '@' || mode_ == '^';
        CharInfo r{};
        switch (c) {
            case '?': case 'B': r = {'U', 1, 1}; break;
            case 'b': case 's': case 'p': r = {'I', 1, 1}; break;
            case 'c': r = {'C', 1, 1}; break;
            case 'h': r = {'I', 2, alignof(short)}; break;
            case 'H': r = {'U', 2, alignof(short)}; break;
            case 'i': r = {'I', 4, alignof(int)}; break;
            case 'I': r = {'U', 4, alignof(int)}; break;
            case 'l': r = {'I', native ? sizeof(long) : 4, alignof(long)}; break;
            case 'L': r = {'U', native ? sizeof(long) : 4, alignof(long)}; break;
            case 'q': r = {'I', 8, alignof(long long)}; break;
            case 'Q': r = {'U', 8, alignof(long long)}; break;
            case 'f': r = {'R', 4, alignof(float)}; break;
            case 'd': r = {'R', 8, alignof(double)}; break;
            case 'g':
                if (!native) {
                    raise(PyExc_ValueError, "Python does not define a standard format string size for long double ('g')..");
                }
                r = {'R', sizeof(long double), alignof(long double)};
                break;
            case 'O': r = {'O', sizeof(void*), alignof(void*)}; break;
        }
        if (complex) {
            r.kind = 'X';
            r.size *= 2;
        }
        if (mode_ != '@') r.align = 1;
        return r;
    }

    // Parses until the end of the format (top level) or the closing brace (structure body).
    // Returns the largest alignment met, for the padding after a structure.
    size_t parse_sequence(bool in_struct, bool skip) {
        size_t count = 1;
        bool have_count = false;
        size_t max_align = 1;
        for (;;) {
            const char c = *p_;
            switch (c) {
                case '\0':
                    if (in_struct) raise(PyExc_ValueError, "Unexpected end of format string, expected '}'");
                    return max_align;
                case ' ': case '\t': case '\r': case '\n': case '\f': case '\v':
                    ++p_;
                    continue;
                case '<': case '=':
                    mode_ = '=';
                    ++p_;
                    continue;
                case '>': case '!':
                    raise(PyExc_ValueError, "Big-endian buffer not supported on little-endian compiler");
                case '@': case '^':
                    mode_ = c;
                    ++p_;
                    continue;
                case '}':
                    if (!in_struct) raise_format(PyExc_ValueError, "Unexpected format string character: '%c'", c);
                    ++p_;
                    return max_align;
                case ':':
                    ++p_;
                    while (*p_ && *p_ != ':') ++p_;
                    if (!*p_) raise(PyExc_ValueError, "Unexpected end of format string, expected ':'");
                    ++p_;
                    continue;
                case '(':
                    if (have_count) raise(PyExc_ValueError, "Cannot handle repeated arrays in format string");
                    parse_shape();  // only the empty shape is accepted
                    continue;
                case 'T': {
                    ++p_;
                    if (*p_ != '{') raise(PyExc_ValueError, "Buffer acquisition: Expected '{' after 'T'");
                    ++p_;
                    const char* body = p_;
                    size_t align = 1;
                    if (count == 0) {
                        align = parse_sequence(true, true);
                    }
                    for (size_t rep = 0; rep < count; ++rep) {
                        p_ = body;
                        align = parse_sequence(true, skip);
                    }
                    if (!skip && mode_ == '@' && offset_ % align) offset_ += align - offset_ % align;
                    if (align > max_align) max_align = align;
                    count = 1;
                    have_count = false;
                    continue;
                }
                case 'x':
                    ++p_;
                    if (!skip) offset_ += count;
                    count = 1;
                    have_count = false;
                    continue;
                case 'Z': {
                    const char next = p_[1];
                    if (next != 'f' && next != 'd' && next != 'g') {
                        raise_format(PyExc_ValueError, "Unexpected format string character: '%c'", c);
                    }
                    p_ += 2;
                    max_align = element(next, true, count, skip, max_align);
                    count = 1;
                    have_count = false;
                    continue;
                }
                case '?': case 'c': case 'b': case 'B': case 'h': case 'H': case 'i': case 'I': case 'l':
                case 'L': case 'q': case 'Q': case 'f': case 'd': case 'g': case 'O': case 's': case 'p':
                    ++p_;
                    max_align = element(c, false, count, skip, max_align);
                    count = 1;
                    have_count = false;
                    continue;
                default:
                    if (c >= '0' && c <= '9') {
                        count = parse_number();
                        have_count = true;
                        continue;
                    }
                    raise_format(PyExc_ValueError, "Does not understand character buffer dtype format string ('%c')", c);
            }
        }
    }

    size_t parse_number() {
        size_t n = 0;
        while (*p_ >= '0' && *p_ <= '9') {
            n = n * 10 + size_t(*p_ - '0');
            if (n > size_t(INT_MAX)) raise(PyExc_ValueError, "Buffer format repeat count too large");
            ++p_;
        }
        return n;
    }

    // "(d1,d2,...)": the expected element types are scalars, so any shape other than the empty
    // one is rejected.
    void parse_shape() {
        ++p_;
        int dims = 0;
        for (;;) {
            while (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r') ++p_;
            if (*p_ == ')') break;
            if (!*p_) raise(PyExc_ValueError, "Unexpected end of format string, expected ')'");
            if (*p_ < '0' || *p_ > '9') {
                raise_format(PyExc_ValueError, "Does not understand character buffer dtype format string ('%c')", *p_);
            }
            parse_number();
            ++dims;
            if (*p_ == ',') {
                ++p_;
            } else if (*p_ != ')') {
                if (!*p_) raise(PyExc_ValueError, "Unexpected end of format string, expected ')'");
                raise_format(PyExc_ValueError, "Expected a comma in format string, got '%c'", *p_);
            }
        }
        ++p_;
        if (dims != 0) raise_format(PyExc_ValueError, "Expected %d dimension(s), got %d", 0, dims);
    }

    size_t element(char c, bool complex, size_t count, bool skip, size_t max_align) {
        const CharInfo ci = info(c, complex);
        if (ci.align > max_align) max_align = ci.align;
        if (skip || count == 0) return max_align;
        if (offset_ % ci.align) offset_ += ci.align - offset_ % ci.align;
        for (size_t k = 0; k < count; ++k) {
            if (matched_) {
                raise_format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "", "end", "",
                             describe(c, complex));
            }
            const bool same = ci.kind == want_.kind && ci.size == want_.size;
            const bool as_char = (ci.kind == 'C' || want_.kind == 'C') && ci.size == want_.size;
            if (!same && !as_char) {
                raise_format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'", want_.name, "'",
                             describe(c, complex));
            }
            if (offset_ != 0) {
                raise_format(PyExc_ValueError, "Buffer dtype mismatch; next field is at offset %zd but %zd expected",
                             Py_ssize_t(offset_), Py_ssize_t(0));
            }
            matched_ = true;
            offset_ += ci.size;
        }
        return max_align;
    }

    const char* p_;
    ElemType want_;
    char mode_ = '@';
    size_t offset_ = 0;
    bool matched_ = false;
};

}  // namespace

void check_buffer_format(const char* format, Elem elem) {
    // The common case, one native element, needs no walk.
    const ElemType want = elem_type(elem);
    if (format[0] != '\0' && format[1] == '\0') {
        const char c = format[0];
        if ((elem == Elem::UChar && (c == 'B' || c == '?' || c == 'c')) || (elem == Elem::Int && c == 'i')) return;
    }
    FormatChecker(format, want).run();
}

}  // namespace quarrin
