// The names and fixed texts of the recording layer, each declared once (names.cpp) and created by
// the exec step with every other Name.
#pragma once

#include "core/runtime.hpp"

namespace quarrin {

// module globals, looked up by name at each use
extern const Name n_np, n_os, n_sys, n_time, n_datetime, n_timedelta, n_csv;
// attributes and methods
extern const Name n_VideoCapture, n_VideoWriter, n_VideoWriter_fourcc, n_CAP_DSHOW, n_CAP_PROP_FRAME_WIDTH,
    n_CAP_PROP_FRAME_HEIGHT, n_CAP_PROP_FPS, n_CAP_PROP_SETTINGS, n_CAP_PROP_FRAME_COUNT, n_set, n_get, n_read,
    n_write, n_release, n_isOpened, n_open, n_close, n_flush, n_platform, n_now, n_fromtimestamp, n_mktime,
    n_localtime, n_path, n_getmtime, n_exists, n_rpartition, n_zeros, n_uint8, n_dtype, n_writer, n_writerow,
    n_newline, n_destroyAllWindows, n_shape, n_copy, n_total_seconds, n_isoformat, n_days, n_seconds,
    n_getTextSize, n_rectangle, n_putText, n_FONT_HERSHEY_SIMPLEX, n_FILLED, n_LINE_AA, n_waitKey, n_error,
    n_signal, n_getsignal, n_SIGINT, n_SIGTERM, n_default_int_handler, n_O_WRONLY, n_O_CREAT, n_O_EXCL, n_unlink,
    n_strftime, n_makedirs, n_dirname, n_exist_ok, n_claim, n_give_back, n_start, n_fps;
// The CSV header's third column, and vcapture's parameter of the same name.
extern const Name n_timestamp;
// fixed texts
extern const Name n_text_win32, n_text_csv_suffix, n_text_mode_w, n_text_empty, n_head_inframe, n_head_outframe,
    n_text_percent, n_text_mjpg;
// A live source's signal: on_signal's kinds, and the outcome's "lost".
extern const Name n_text_lost, n_text_back;
extern const Name n_msg_roi, n_msg_input_from_file, n_msg_open, n_msg_frames_to_process, n_msg_frame_dimension;

}  // namespace quarrin
