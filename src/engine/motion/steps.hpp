// The steps of a motion check, shared by the two checks (motion.cpp) and the recorder's detector
// (detect.cpp), each one call (or a few) into cv2, looked up at this use.
#pragma once

#include "args/args.hpp"

namespace quarrin {

Ref cv2_attr(PyObject* name);
// cv2.cvtColor(frame, cv2.COLOR_BGR2GRAY), type-tested.
Ref gray_of(PyObject* frame);
// blurred_cur[:, :] = cv2.GaussianBlur(frame, (k, k), 0)
void blur_into(PyObject* frame, int32_t kernel_width, PyObject* blurred_cur);
// cv2.absdiff(blurred_cur, blurred_prev), validated as a 2-D uint8 array.
Ref difference(PyObject* blurred_cur, PyObject* blurred_prev);
// cv2.threshold(diff, threshold, 255, cv2.THRESH_BINARY)[1]
Ref binary(PyObject* diff, int32_t threshold);
// cv2.dilate(mask, None, iterations=2)
Ref dilated(PyObject* mask);
// The outer contours of the mask, laid out as caputil.CV2_MAJOR says.
Ref outer_contours(PyObject* mask);
// cv2.contourArea(contour)
Ref contour_area(PyObject* contour);
// The two debug windows.
void show_debug_views(PyObject* diff, PyObject* mask, PyObject* contours);

}  // namespace quarrin
