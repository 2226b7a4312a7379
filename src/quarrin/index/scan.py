"""The files the index is made of: event lists and timestamps CSVs found under a queried PATH
(`_Root`), and what is stored of each, read from the files by the modules that own their formats."""
import dataclasses
import operator
import os
import time
import typing

from quarrin import stamps
from quarrin.index.queries import _US, _local
from quarrin.layout import INDEX_FOLDER, camera_name, kind_of
from quarrin.listeners.eventlist import read_list
from quarrin.results import RECORDED_COLUMNS, ZONE_SEPARATOR
from quarrin.stamps import read_time

# --- reading the files ---------------------------------------------------------------------

def _read_list(path, size, top):
    """The events of the event list at `path` (its first `size` bytes) as the index stores them:
    (event, start, end, span in microseconds, seconds, first_frame, last_frame, frames,
    peak_area, video, snapshot, camera, label, score, zones), the paths relative to `top`; None
    when it is no event list. A damaged row is left out, the others kept; a list older than the
    label, score and zones columns gives "", None and "" for them, and so does a score that
    cannot be read."""
    listed = read_list(path, size)
    if listed is None:
        return None
    header, rows = listed
    col = {name: i for i, name in enumerate(header)}
    try:
        needed = [col[c] for c in RECORDED_COLUMNS]
    except KeyError:
        return None
    own_camera = camera_name(path)
    camera_at, snapshot_at = col.get("camera"), col.get("snapshot")
    label_at, score_at, zones_at = col.get("label"), col.get("score"), col.get("zones")
    fields = operator.itemgetter(*needed)
    resolve = _Resolver(os.path.dirname(os.path.abspath(path)), top, {r[needed[-1]] for r in rows
                                                                       if len(r) > needed[-1]})
    found = _Rows()
    for row in rows:
        try:
            number, start, end, seconds, first, last, frames, peak, file = fields(row)
            (begin, start), (finish, end) = _read_time(start), _read_time(end)
            values = (int(number), start, end, max(0, (finish - begin) // _US), float(seconds), int(first),
                      int(last), int(frames), float(peak))
        except (ValueError, IndexError, OverflowError):
            found.unread += any(field.strip() for field in row)   # a blank line is no row
            continue
        snapshot = row[snapshot_at] if snapshot_at is not None and snapshot_at < len(row) else ""
        camera = row[camera_at] if camera_at is not None and camera_at < len(row) else ""
        label = row[label_at].strip() if label_at is not None and label_at < len(row) else ""
        score = _score(row[score_at]) if score_at is not None and score_at < len(row) else None
        zones = _zones(row[zones_at]) if zones_at is not None and zones_at < len(row) else ""
        found.append(values + (resolve(file), resolve(snapshot), camera or own_camera, label, score, zones))
    return found


def _zones(text):
    """A listed `zones` as stored: the names joined by ";", with no blank one."""
    return ZONE_SEPARATOR.join(name for name in (z.strip() for z in text.split(ZONE_SEPARATOR)) if name)


def _score(text):
    """A listed score (0 to 1), or None: none given, or none that can be one."""
    try:
        score = float(text)
    except ValueError:
        return None
    return score if 0 <= score <= 1 else None


class _Rows(list):
    """The events of a list, and how many of its rows could not be read (`unread`)."""
    unread = 0


def _read_time(text):
    """A time read from a file: (naive datetime in local time, its ISO 8601 text as the index
    stores it). Text already so written is kept as it is."""
    moment = read_time(text)
    if moment.tzinfo is not None:
        moment = _local(moment)
    elif len(text) in (19, 26) and text[10] == "T" and text[13] == ":" and text[19:20] in ("", ".") \
            and text[17:19] != "60":
        return moment, text
    return moment, moment.isoformat()


class _Resolver:
    """Where an event list's `file` (or `snapshot`) entry lies, as a path relative to `top`.
    Lists name it relative to their own folder; older lists, relative to where the recording
    ran. That folder shows from an entry naming the list's own folder (out/cam/door.avi in
    /srv/out/cam/door.events.csv: /srv); an older entry is otherwise looked for by its name in
    the list's folder."""

    def __init__(self, folder, top, entries):
        self.folder, self.top, self.seen = folder, top, {}
        self.ran_in = None
        for entry in entries:
            head = os.path.dirname(entry)
            if head and not os.path.isabs(head) and not head.startswith(".."):
                tail = os.sep + os.path.normpath(head)
                if folder.endswith(tail):
                    self.ran_in = folder[:-len(tail)]
                    break

    def __call__(self, entry):
        if not entry:
            return None
        found = self.seen.get(entry)
        if found is None:
            found = self.seen[entry] = os.path.relpath(self._where(entry), self.top)
        return found

    def _where(self, entry):
        if os.path.isabs(entry):
            return os.path.normpath(entry)
        beside = os.path.normpath(os.path.join(self.folder, entry))
        ran = None if self.ran_in is None else os.path.normpath(os.path.join(self.ran_in, entry))
        by_name = os.path.join(self.folder, os.path.basename(entry))
        for candidate in (beside, ran, by_name):
            if candidate is not None and os.path.exists(candidate):
                return candidate
        # Gone (a disk budget removes videos): where the list most likely meant it.
        if os.path.dirname(entry) and not entry.startswith(".."):
            return ran or by_name
        return beside


def _read_stamps(path, size, before=None):
    """(newlines, first, last) of the timestamps CSV at `path` (its first `size` bytes): its
    complete lines, the header's included, and the times of its first and last rows as the index
    stores them; None when it is no timestamps CSV. `before`: (size, newlines, first) as stored
    for the same file: when it only grew, just the bytes added are counted."""
    return stamps.ends(path, size, before, lambda text: _read_time(text)[1])


# --- the folders queried --------------------------------------------------------------------

# A folder whose modification time is older than this many seconds holds the names it held
# when it was listed; a newer one may yet change within the same tick of its clock.
_SETTLED = 2.0


@dataclasses.dataclass
class _Root:
    """A PATH as queried: `key` names it in its index (empty in the index kept in the folder
    itself), `top` is the folder the stored paths are relative to, `shown` the PATH as given
    (the paths returned start with it), `only` the file's name when PATH is an event list."""
    key: str
    top: str
    shown: str
    only: typing.Optional[str] = None

    def __post_init__(self):
        self.prefix = "" if self.shown in ("", ".") else os.path.join(self.shown, "")

    @staticmethod
    def contents(known, folders):
        """({folder: [its files]}, {folder: [its folders]}) of the paths of `known` and `folders`."""
        files_in, folders_in = {}, {}
        for rel in known:
            files_in.setdefault(rel.rpartition("/")[0], []).append(rel)
        for rel in folders:
            if rel:
                folders_in.setdefault(rel.rpartition("/")[0], []).append(rel)
        return files_in, folders_in

    def look(self, kinds, folders, known, contents):
        """The files of `kinds` under the root: ({path: (kind, size, mtime, inode)}, {folder:
        modification time, 0 when too recent to be relied on}). `folders` and `known` are what
        the index saw last time, `contents` what they hold: a folder with the same modification
        time holds the same names, so only its known files are stat'ed; the others are listed.
        Folders are not followed through symbolic links, nor into index folders."""
        found, seen = {}, {}
        if self.only is not None:
            kind = kind_of(self.only)
            if kind in kinds:
                try:
                    st = os.stat(os.path.join(self.top, self.only))
                    found[self.only] = (kind, st.st_size, st.st_mtime_ns, st.st_ino)
                except OSError:
                    pass
            return found, seen
        files_in, folders_in = contents
        settled = (time.time() - _SETTLED) * 1e9
        top, stat = os.path.join(self.top, ""), os.stat
        stack = [("", None)]
        while stack:
            rel, st = stack.pop()
            path = top + rel
            try:
                mtime = (st or stat(path)).st_mtime_ns
            except OSError:
                continue
            seen[rel] = mtime if mtime < settled else 0
            if seen[rel] and folders.get(rel) == mtime:
                for name in files_in.get(rel, ()):
                    try:
                        st = stat(top + name)
                    except OSError:
                        continue
                    found[name] = (known[name][0], st.st_size, st.st_mtime_ns, st.st_ino)
                stack.extend((sub, None) for sub in folders_in.get(rel, ()))
                continue
            try:
                entries = os.scandir(path)
            except OSError:
                continue
            with entries:
                for entry in entries:
                    name = entry.name
                    kind = kind_of(name)
                    child = rel + "/" + name if rel else name
                    try:
                        if kind is None:
                            if name != INDEX_FOLDER and entry.is_dir(follow_symlinks=False):
                                stack.append((child, entry.stat(follow_symlinks=False)))
                        elif kind in kinds:
                            st = entry.stat()
                            found[child] = (kind, st.st_size, st.st_mtime_ns, st.st_ino)
                    except OSError:
                        continue
        return found, seen

    def path(self, rel):
        """A stored path as a path one can open: under PATH as it was given."""
        path = self.prefix + rel
        return os.path.normpath(path) if ".." in rel else path

