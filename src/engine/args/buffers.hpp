// Buffer validation of array arguments: element type, number of dimensions and item format.
#pragma once

#include "core/pyref.hpp"

#include <cstdint>

namespace quarrin {

// Element types known to the buffer validation.
enum class Elem : uint8_t { None, UChar, Int };

// A buffer view held for the length of a call; released (without disturbing a pending
// exception) when the holder goes away.
class BufferView {
public:
    BufferView() noexcept = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() { release(); }

    void release() noexcept;

    // Requests a format-and-strides view of obj and validates it: number of dimensions,
    // format (exactly one element of `elem`), item size. On failure nothing stays held.
    void acquire(PyObject* obj, Elem elem, int ndim);

private:
    Py_buffer view_{};
    bool held_ = false;
};

// Validates obj's buffer (None is skipped) into `view`.
inline void validate_array(PyObject* obj, Elem elem, int ndim, BufferView& view) {
    if (obj != Py_None) view.acquire(obj, elem, ndim);
}

// Checks a struct-module format string against one element of `elem`; raises ValueError.
void check_buffer_format(const char* format, Elem elem);

}  // namespace quarrin
