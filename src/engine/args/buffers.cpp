// Buffer validation: a view of an array argument is requested with its format and strides, and
// checked against the element type and number of dimensions a parameter expects. The format
// checker walks struct-module format strings as buffer exporters describe their items.
#include "args/buffers.hpp"

#include <algorithm>
#include <climits>

namespace quarrin {

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
    require(PyObject_GetBuffer(obj, &view_, PyBUF_FORMAT | PyBUF_STRIDES));
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

// How messages name a format character.
const char* describe(char c, bool complex) {
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

class FormatChecker {
public:
    FormatChecker(const char* format, const ElemType& want) : p_(format), want_(want) {}

    void run() {
        parse_sequence(Scope::Top, Walk::Check);
        if (!matched_) raise_format(PyExc_ValueError, "Buffer dtype mismatch, expected '%s' but got %s", want_.name, "end");
    }

private:
    enum class Scope { Top, Struct };  // the whole format, or a structure's body
    enum class Walk { Check, Skip };    // a zero-count structure is parsed but not counted
    enum class Number { Real, Complex };

    struct CharInfo {
        char kind;
        size_t size;
        size_t align;
    };

    CharInfo info(char c, Number number) const {
        const bool complex = number == Number::Complex;
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
    size_t parse_sequence(Scope scope, Walk walk) {
        const bool in_struct = scope == Scope::Struct;
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
                    skip_field_name();
                    continue;
                case '(':
                    if (have_count) raise(PyExc_ValueError, "Cannot handle repeated arrays in format string");
                    parse_shape();  // only the empty shape is accepted
                    continue;
                case 'T': case 'x': case 'Z':
                case '?': case 'c': case 'b': case 'B': case 'h': case 'H': case 'i': case 'I': case 'l':
                case 'L': case 'q': case 'Q': case 'f': case 'd': case 'g': case 'O': case 's': case 'p':
                    max_align = item(c, count, walk, max_align);
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

    // One item, repeated `count` times: a structure, padding or an element. Returns the largest
    // alignment met so far.
    size_t item(char c, size_t count, Walk walk, size_t max_align) {
        switch (c) {
            case 'T': return std::max(max_align, parse_struct(count, walk));
            case 'x':
                ++p_;
                if (walk == Walk::Check) offset_ += count;
                return max_align;
            case 'Z': return element(complex_code(), Number::Complex, count, walk, max_align);
        }
        ++p_;
        return element(c, Number::Real, count, walk, max_align);
    }

    // ":name:" after a field.
    void skip_field_name() {
        ++p_;
        while (*p_ && *p_ != ':') ++p_;
        if (!*p_) raise(PyExc_ValueError, "Unexpected end of format string, expected ':'");
        ++p_;
    }

    // "T{...}" repeated `count` times; returns the structure's alignment.
    size_t parse_struct(size_t count, Walk walk) {
        ++p_;
        if (*p_ != '{') raise(PyExc_ValueError, "Buffer acquisition: Expected '{' after 'T'");
        ++p_;
        const char* body = p_;
        size_t align = 1;
        if (count == 0) align = parse_sequence(Scope::Struct, Walk::Skip);
        for (size_t rep = 0; rep < count; ++rep) {
            p_ = body;
            align = parse_sequence(Scope::Struct, walk);
        }
        if (walk == Walk::Check && mode_ == '@' && offset_ % align) offset_ += align - offset_ % align;
        return align;
    }

    // "Zf", "Zd" or "Zg": returns the real type code of the complex element.
    char complex_code() {
        const char next = p_[1];
        if (next != 'f' && next != 'd' && next != 'g') {
            raise_format(PyExc_ValueError, "Unexpected format string character: '%c'", 'Z');
        }
        p_ += 2;
        return next;
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

    size_t element(char c, Number number, size_t count, Walk walk, size_t max_align) {
        const CharInfo ci = info(c, number);
        if (ci.align > max_align) max_align = ci.align;
        if (walk == Walk::Skip || count == 0) return max_align;
        if (offset_ % ci.align) offset_ += ci.align - offset_ % ci.align;
        for (size_t k = 0; k < count; ++k) {
            if (matched_) {
                raise_format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "", "end", "",
                             describe(c, number == Number::Complex));
            }
            const bool same = ci.kind == want_.kind && ci.size == want_.size;
            const bool as_char = (ci.kind == 'C' || want_.kind == 'C') && ci.size == want_.size;
            if (!same && !as_char) {
                raise_format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'", want_.name, "'",
                             describe(c, number == Number::Complex));
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
