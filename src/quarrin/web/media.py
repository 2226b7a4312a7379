"""The folders a web view serves, and which of the files below them may be sent.

Each served folder gets a name (its own, numbered when two share one), and a file below it the
URL ``/media/<name>/<its path below the folder>``: a video's timestamps CSV is at the video's URL
plus ``.csv``. Only videos, CSVs and pictures are sent, and only from inside a served folder: a
path with an empty, ``.`` or ``..`` part, a part naming the index's folder, a symbolic link that
leads out of the folder, a folder, and a file of another type are all not found.
"""
import os
import stat
import urllib.parse

from quarrin.layout import INDEX_FOLDER
from quarrin.options import VIDEO_EXTENSIONS
from quarrin.web import urls

# What may be sent, by extension, with its content type.
CONTENT_TYPES = {
    ".mp4": "video/mp4", ".m4v": "video/mp4", ".mov": "video/quicktime", ".mkv": "video/x-matroska",
    ".avi": "video/x-msvideo", ".mpg": "video/mpeg", ".mpeg": "video/mpeg", ".wmv": "video/x-ms-wmv",
    ".ts": "video/mp2t", ".csv": "text/csv; charset=utf-8", ".jpg": "image/jpeg", ".jpeg": "image/jpeg",
    ".png": "image/png",
}
assert set(VIDEO_EXTENSIONS) <= set(CONTENT_TYPES)

MEDIA = urls.prefix("media")


class Folders:
    """The served folders: (name, path as given, real path) each, from the index's own roots so
    that both agree on which folders are served (a folder inside another one is not served apart)."""

    def __init__(self, roots):
        self.roots = []
        taken = set()
        for shown, top in roots:
            real = os.path.realpath(top)
            base = os.path.basename(real.rstrip(os.sep)) or "root"
            name, n = base, 1
            while name in taken:
                n += 1
                name = "%s-%d" % (base, n)
            taken.add(name)
            prefix = "" if shown in ("", ".") else os.path.join(shown, "")
            self.roots.append((name, prefix, real))
        self.by_name = {name: real for name, _, real in self.roots}
        # A path is matched against the longest prefix first; "" (the working directory) last.
        self._prefixes = sorted(((prefix, name) for name, prefix, _ in self.roots), key=lambda p: -len(p[0]))

    def served(self, path):
        """A path as the index gives it, as `<name>/<path below its folder>`; None when it lies
        outside the served folders (an older event list may name a video elsewhere)."""
        if not path:
            return None
        for prefix, name in self._prefixes:
            if path.startswith(prefix):
                rel = path[len(prefix):]
                parts = rel.split(os.sep)
                if os.path.isabs(rel) or not rel or any(p in ("", ".", "..") for p in parts):
                    return None
                return name + "/" + "/".join(parts)
        return None

    def url(self, path):
        """The media URL of a path as the index gives it, or None."""
        served = self.served(path)
        return None if served is None else MEDIA + urllib.parse.quote(served)

    def locate(self, tail):
        """(real path, content type) of the file a media URL names, by its decoded path after
        /media/; None for anything that may not be sent."""
        parts = tail.split("/")
        if len(parts) < 2 or any(p in ("", ".", "..", INDEX_FOLDER) or "\0" in p for p in parts):
            return None
        top = self.by_name.get(parts[0])
        content_type = CONTENT_TYPES.get(os.path.splitext(parts[-1])[1].lower())
        if top is None or content_type is None:
            return None
        real = os.path.realpath(os.path.join(top, *parts[1:]))
        inside = os.path.relpath(real, top)
        if inside.startswith(os.pardir) or os.path.isabs(inside) or INDEX_FOLDER in inside.split(os.sep):
            return None
        if CONTENT_TYPES.get(os.path.splitext(real)[1].lower()) != content_type:
            return None   # a link to a file of another type
        try:
            if not stat.S_ISREG(os.stat(real).st_mode):
                return None
        except (OSError, ValueError):
            return None
        return real, content_type
