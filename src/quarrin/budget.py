"""A disk budget for a long recording: after each segment closes, the oldest finished segments of
the recording's OUTPUT are deleted while they take more than --keep-size or are older than
--keep-days.

Only files that OUTPUT names are candidates: the output itself and its numbered segments
(out.avi, out_000.avi, ...), with strftime fields matching what they can expand to
(cam/%Y-%m-%d/door-%H%M%S.avi matches cam/2026-12-08/door-101500.avi), each with its timestamps
CSV; an event list goes once none of the videos it lists is left. The newest segment is never
deleted, nor a file the pattern does not name.
"""
import csv
import os
import re
import time

# What each strftime field may expand to; anything else stays within one path component.
_FIELDS = {"Y": r"\d{4}", "y": r"\d{2}", "m": r"\d{2}", "d": r"\d{2}", "H": r"\d{2}", "I": r"\d{2}",
           "M": r"\d{2}", "S": r"\d{2}", "j": r"\d{3}", "U": r"\d{2}", "W": r"\d{2}", "w": r"\d",
           "u": r"\d", "V": r"\d{2}", "G": r"\d{4}", "f": r"\d{6}", "%": "%"}
_NUMBER = r"(?:_\d{3,})?"


def pattern_regex(output):
    """A regex over absolute paths for the videos a recording into `output` writes, and the folder
    under which they all lie (the part of the path before its first field)."""
    path = os.path.abspath(output)
    root, ext = os.path.splitext(path)
    parts, fixed = [], None
    i = 0
    while i < len(root):
        if root[i] == "%" and i + 1 < len(root):
            if fixed is None:
                fixed = root[:i]
            parts.append(_FIELDS.get(root[i + 1], r"[^/]+?"))
            i += 2
        else:
            parts.append(re.escape(root[i]))
            i += 1
    folder = os.path.dirname(fixed if fixed is not None else path)
    return re.compile("".join(parts) + _NUMBER + re.escape(ext) + r"\Z"), folder


class Budget:
    def __init__(self, output, keep_size, keep_days, tell):
        self.videos, self.folder = pattern_regex(output)
        self.lists = pattern_regex(os.path.splitext(output)[0] + ".events.csv")[0]
        self.keep_size, self.keep_days, self.tell = keep_size, keep_days, tell

    def segments(self):
        """The recording's finished videos, oldest first: (mtime, size with its CSV, path)."""
        found = []
        for folder, _, names in os.walk(self.folder):
            for name in names:
                path = os.path.join(folder, name)
                if self.videos.match(path):
                    try:
                        st = os.stat(path)
                        size = st.st_size + _size(path + ".csv")
                    except OSError:
                        continue
                    found.append((st.st_mtime, size, path))
        return sorted(found)

    def after_close(self, video):
        """Deletes what the budget asks, the video just closed and newer ones excepted."""
        found = self.segments()
        newest = os.path.abspath(video)
        total = sum(size for _, size, _ in found)
        oldest_kept = time.time() - self.keep_days * 86400 if self.keep_days else None
        removed = False
        for mtime, size, path in found[:-1]:
            over = self.keep_size is not None and total > self.keep_size
            old = oldest_kept is not None and mtime < oldest_kept
            if not (over or old) or path == newest:
                continue
            for name in (path, path + ".csv"):
                try:
                    os.remove(name)
                except FileNotFoundError:
                    continue
                self.tell("Removed %s (disk budget)" % name)
            total -= size
            removed = True
        if removed:
            self._drop_empty_lists()

    def _drop_empty_lists(self):
        """An event list goes once every video it names is gone (a list without events stays with
        the newest files)."""
        for folder, _, names in os.walk(self.folder):
            for name in names:
                path = os.path.join(folder, name)
                if not self.lists.match(path):
                    continue
                try:
                    with open(path, newline="") as f:
                        files = {row.get("file") for row in csv.DictReader(f)} - {None, ""}
                except OSError:
                    continue
                if files and not any(os.path.exists(os.path.abspath(v)) for v in files):
                    os.remove(path)
                    self.tell("Removed %s (disk budget)" % path)


def _size(path):
    try:
        return os.path.getsize(path)
    except OSError:
        return 0
