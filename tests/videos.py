"""Synthetic input videos for the recorder's tests, benchmark and demo.

Every clip is MJPG in an AVI container, which every OpenCV build on every platform can write and
read back. Frames are dark grey with a bright square; where the square stands in each frame is
the caller's choice, which makes motion (or its absence) exact.
"""
import os

import cv2
import numpy as np

# Fixed modification time for deterministic file timestamps: 2023-11-14 22:13:20 UTC.
MTIME = 1_700_000_000


def square_frame(width, height, x, y, size=16, background=40, colour=(60, 200, 255), gray=False):
    """A frame of `background` with a filled size x size square whose top-left corner is (x, y)."""
    frame = np.full((height, width, 3), background, dtype=np.uint8)
    if x is not None:
        frame[y:y + size, x:x + size] = colour
    if gray:
        return cv2.cvtColor(frame, cv2.COLOR_BGR2GRAY)
    return frame


def write_clip(path, frames, fps=10.0, mtime=MTIME):
    """Writes the frames (H x W x 3 uint8) as an MJPG .avi; sets the file's mtime when given."""
    frames = list(frames)
    h, w = frames[0].shape[:2]
    writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"MJPG"), fps, (w, h))
    if not writer.isOpened():
        raise RuntimeError("cannot write %s" % path)
    for frame in frames:
        writer.write(frame)
    writer.release()
    if mtime is not None:
        os.utime(path, (mtime, mtime))
    return str(path)


def moving_clip(path, count, width=64, height=48, fps=10.0, step=4, size=16, mtime=MTIME):
    """A square moving `step` pixels right per frame (wrapping), `count` frames."""
    span = max(1, width - size)
    frames = (square_frame(width, height, (i * step) % span, height // 4, size) for i in range(count))
    return write_clip(path, frames, fps, mtime)


def scripted_clip(path, positions, width=64, height=48, fps=10.0, size=16, mtime=MTIME):
    """One frame per entry of `positions`: the square's x (y fixed), or None for no square."""
    frames = (square_frame(width, height, x, height // 4, size) for x in positions)
    return write_clip(path, frames, fps, mtime)


def read_all(path):
    """Decodes a video: list of frames."""
    cap = cv2.VideoCapture(str(path))
    frames = []
    while True:
        ok, frame = cap.read()
        if not ok:
            break
        frames.append(frame)
    cap.release()
    return frames


def clip_fps(path):
    cap = cv2.VideoCapture(str(path))
    try:
        return cap.get(cv2.CAP_PROP_FPS)
    finally:
        cap.release()


def stream_times(path):
    """The codec and the frame times in seconds of a video's stream, as PyAV decodes them."""
    import av

    with av.open(str(path)) as container:
        stream = container.streams.video[0]
        return stream.codec_context.name, [float(f.pts * f.time_base) for f in container.decode(stream)]


def h264_clip(path, positions, keyint, width=64, height=48, fps=10, mtime=MTIME, bframes=0, sound=None,
              click=None):
    """Like scripted_clip, as H.264 (PyAV) with a keyframe every `keyint` frames and no B-frames
    (or up to `bframes` in a row). `sound`: an audio stream of that codec (aac at 48 kHz, others
    at 8 kHz), silent but for a click at the start of frame `click`."""
    import av

    params = "keyint=%d:min-keyint=%d:scenecut=0:bframes=%d" % (keyint, keyint, bframes)
    with av.open(str(path), "w") as out:
        stream = out.add_stream("libx264", rate=fps, options={"preset": "ultrafast", "x264-params": params})
        stream.width, stream.height, stream.pix_fmt = width, height, "yuv420p"
        audio, samples = None, 0
        if sound:
            rate = 48000 if sound == "aac" else 8000
            audio = out.add_stream(sound, rate=rate, layout="mono")
            fmt, kind = ("fltp", np.float32) if sound == "aac" else ("s16", np.int16)
        for i, x in enumerate(positions):
            image = square_frame(width, height, x, height // 4)
            out.mux(stream.encode(av.VideoFrame.from_ndarray(image, format="bgr24")))
            while audio is not None and samples < (i + 1) * rate // fps:
                chunk = np.zeros((1, 1024), kind)
                at = int(click * rate / fps) - samples if click is not None else -1
                if 0 <= at < 1024:
                    chunk[0, at:at + 16] = 0.9 if sound == "aac" else 30000
                frame = av.AudioFrame.from_ndarray(chunk, format=fmt, layout="mono")
                frame.sample_rate, frame.pts = rate, samples
                out.mux(audio.encode(frame))
                samples += 1024
        out.mux(stream.encode())
        if audio is not None:
            out.mux(audio.encode())
    os.utime(path, (mtime, mtime))
    return str(path)


def decoded(path):
    """A video's frames as PyAV decodes them (the codec's own planes, no conversion), and whether each
    is a keyframe."""
    import av

    with av.open(str(path)) as container:
        return [(f.to_ndarray(), f.key_frame) for f in container.decode(video=0)]


def sound_of(path):
    """A video's sound: (its codec, the time of its loudest sample, its seconds), or None."""
    import av

    with av.open(str(path)) as container:
        if not container.streams.audio:
            return None
        stream = container.streams.audio[0]
        loudest, at, samples = 0.0, None, 0
        for frame in container.decode(stream):
            level = np.abs(frame.to_ndarray().astype(float)).max(axis=0)
            level /= 32768 if frame.format.name.startswith("s16") else 1
            i = int(level.argmax())
            if level[i] > loudest:
                loudest, at = level[i], float(frame.pts * frame.time_base) + i / frame.sample_rate
            samples += frame.samples
        return stream.codec_context.name, at, samples / stream.codec_context.sample_rate


def packets_of(path):
    """(bytes, keyframe) of every packet of a video's stream, in the order stored."""
    import av

    with av.open(str(path)) as container:
        return [(bytes(p), p.is_keyframe) for p in container.demux(container.streams.video[0]) if p.size]


def row_times(csv_path):
    """The times of a timestamps CSV's rows."""
    import csv
    import datetime

    with open(csv_path, newline="") as f:
        return [datetime.datetime.fromisoformat(row[2]) for row in list(csv.reader(f))[1:]]
