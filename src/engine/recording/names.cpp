// The recording layer's names (see names.hpp).
#include "recording/names.hpp"

namespace quarrin {

const Name n_np("np"), n_os("os"), n_sys("sys"), n_time("time"), n_datetime("datetime"), n_timedelta("timedelta"),
    n_csv("csv");
const Name n_VideoCapture("VideoCapture"), n_VideoWriter("VideoWriter"), n_VideoWriter_fourcc("VideoWriter_fourcc"),
    n_CAP_DSHOW("CAP_DSHOW"), n_CAP_PROP_FRAME_WIDTH("CAP_PROP_FRAME_WIDTH"),
    n_CAP_PROP_FRAME_HEIGHT("CAP_PROP_FRAME_HEIGHT"), n_CAP_PROP_FPS("CAP_PROP_FPS"),
    n_CAP_PROP_SETTINGS("CAP_PROP_SETTINGS"), n_CAP_PROP_FRAME_COUNT("CAP_PROP_FRAME_COUNT"), n_set("set"),
    n_get("get"), n_read("read"), n_write("write"), n_release("release"), n_isOpened("isOpened"), n_open("open"),
    n_close("close"), n_flush("flush"), n_platform("platform"), n_now("now"), n_fromtimestamp("fromtimestamp"),
    n_mktime("mktime"), n_localtime("localtime"), n_path("path"), n_getmtime("getmtime"), n_exists("exists"),
    n_rpartition("rpartition"), n_zeros("zeros"), n_uint8("uint8"), n_dtype("dtype"), n_writer("writer"),
    n_writerow("writerow"), n_newline("newline"), n_destroyAllWindows("destroyAllWindows"), n_shape("shape"),
    n_copy("copy"), n_total_seconds("total_seconds"), n_isoformat("isoformat"), n_days("days"),
    n_seconds("seconds"), n_getTextSize("getTextSize"), n_rectangle("rectangle"), n_putText("putText"),
    n_FONT_HERSHEY_SIMPLEX("FONT_HERSHEY_SIMPLEX"), n_FILLED("FILLED"), n_LINE_AA("LINE_AA"), n_waitKey("waitKey"),
    n_error("error"), n_signal("signal"), n_getsignal("getsignal"), n_SIGINT("SIGINT"), n_SIGTERM("SIGTERM"),
    n_default_int_handler("default_int_handler"), n_O_WRONLY("O_WRONLY"), n_O_CREAT("O_CREAT"),
    n_O_EXCL("O_EXCL"), n_unlink("unlink"), n_strftime("strftime"), n_makedirs("makedirs"), n_dirname("dirname"),
    n_exist_ok("exist_ok"), n_claim("claim"), n_give_back("give_back"), n_start("start"), n_fps("fps");
const Name n_timestamp("timestamp");
const Name n_text_win32("win32"), n_text_csv_suffix(".csv"), n_text_mode_w("w"), n_text_empty(""),
    n_head_inframe("inframe"), n_head_outframe("outframe"), n_text_percent("%"),
    n_text_mjpg("MJPG");
const Name n_text_lost("lost"), n_text_back("back");
const Name n_msg_roi("ROI limits exceed frame size"), n_msg_input_from_file("Input from file"), n_msg_open("Open?"),
    n_msg_frames_to_process("Frames to process"), n_msg_frame_dimension("Frame dimension");

}  // namespace quarrin
