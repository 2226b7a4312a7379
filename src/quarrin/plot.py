"""The batch timeline: one row per input, its saved frames along the input's own time axis."""
import os

WIDTH_IN, DPI = 10.0, 100
SAVED, LENGTH, FAILED, EVENT = "#e07b00", "#dddddd", "#c0392b", "#1f4e79"


def figure_size(rows):
    """Inches: fixed width, a band per input."""
    return WIDTH_IN, 1.4 + 0.45 * max(rows, 1)


def run_spans(runs, fps, min_width):
    """(start, stop) runs of saved input frames as (start, width) in seconds, adjacent runs joined;
    at least `min_width` wide so that a single saved frame stays visible."""
    joined = []
    for a, b in sorted(runs):
        if joined and a <= joined[-1][1]:
            joined[-1][1] = max(joined[-1][1], b)
        else:
            joined.append([a, b])
    return [(a / fps, max((b - a) / fps, min_width)) for a, b in joined]


def label(item):
    """An input's row: its file's name, after the camera's when that is another."""
    name = os.path.basename(item.input)
    camera = item.result.camera if item.result is not None else None
    if not camera or camera == os.path.splitext(name)[0]:
        return name
    return "%s: %s" % (camera, name)


def timeline(items, path):
    """Draws the batch items (quarrin.BatchItem) into a PNG at `path`."""
    from matplotlib.figure import Figure

    rows = len(items)
    fig = Figure(figsize=figure_size(rows), dpi=DPI)
    ax = fig.add_subplot()
    lengths = [it.result.frames_read / it.result.fps for it in items if it.result and it.result.fps]
    end = max(lengths, default=0) or 1.0
    labels, totals = [], []
    for row, item in enumerate(items):
        y = rows - 1 - row
        r = item.result
        labels.append(label(item))
        if r is None or not r.fps:
            ax.text(0.005 * end, y, "failed: %s" % (item.error or item.status), va="center", fontsize=8,
                    color=FAILED, clip_on=True)
            totals.append(item.status)
            continue
        ax.broken_barh([(0, r.frames_read / r.fps)], (y - 0.3, 0.6), facecolor=LENGTH)
        runs = [run for seg in r.segments for run in seg.runs]
        ax.broken_barh(run_spans(runs, r.fps, end / 1000), (y - 0.3, 0.6), facecolor=SAVED)
        # Each event as a bar of its own just above the input's, from its first to its last frame.
        events = [(e.first_frame, e.last_frame + 1) for e in r.events]
        if events:
            ax.broken_barh([(a / r.fps, max((b - a) / r.fps, end / 500)) for a, b in events], (y + 0.32, 0.14),
                           facecolor=EVENT)
        totals.append("%d / %d" % (r.frames_saved, r.frames_read)
                      + ("\n%d event%s" % (len(r.events), "" if len(r.events) == 1 else "s") if r.events else ""))
    ax.set_ylim(-0.6, rows - 0.4 + 0.1)
    ax.set_yticks(range(rows))
    ax.set_yticklabels(reversed(labels))
    ax.set_xlim(0, end)
    ax.set_xlabel("time in the input (s)")
    ax.grid(axis="x", color="#eeeeee")
    ax.set_axisbelow(True)
    right = ax.twinx()
    right.set_ylim(ax.get_ylim())
    right.set_yticks(range(rows))
    right.set_yticklabels(reversed(totals))
    right.set_ylabel("saved / read")
    for side in (ax, right):
        side.tick_params(axis="y", length=0)
    from matplotlib.patches import Patch

    handles = [Patch(facecolor=SAVED, label="saved frames"), Patch(facecolor=LENGTH, label="input")]
    if any(it.result and it.result.events for it in items):
        handles.append(Patch(facecolor=EVENT, label="events"))
    fig.legend(handles=handles, loc="upper right", ncol=len(handles), frameon=False, fontsize=9)
    fig.suptitle("Saved frames along each input", x=0.02, ha="left", fontsize=11)
    fig.tight_layout(rect=(0, 0, 1, 0.97))
    fig.savefig(path, dpi=DPI)
    return path
