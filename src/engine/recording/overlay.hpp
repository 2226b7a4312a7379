// What is drawn on and shown of a kept frame: the timestamp overlay and the preview window.
#pragma once

#include "recording/settings.hpp"

namespace quarrin {

class Overlay {
public:
    explicit Overlay(const CaptureArgs& a) : a_(a) {}
    void draw(PyObject* roi, PyObject* text);

private:
    const CaptureArgs& a_;
};

class Preview {
public:
    void open(PyObject* name);
    bool show(PyObject* roi);  // true: a stop key (q or Esc) was read

private:
    Ref name_;
};

// (c[0], c[1], c[2]) of a colour array, each element made a Python int: a colour for cv2.
Ref colour_of(PyObject* arr);

// cv2.destroyAllWindows(), where a headless OpenCV build's "not implemented" error is no failure.
void destroy_all_windows();

}  // namespace quarrin
