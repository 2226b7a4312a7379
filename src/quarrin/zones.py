"""Zones: named polygons in the region's pixels, and which of them something entered.

A zone is a `Zone(name, points)`, its points a tuple of (x, y) whole numbers from 0 to the region's
width and height; a point on a zone's edge is in it. `entered_by_object` tells the zones a
detected object stands in (the middle pixel of its box's bottom row), `entered_by_motion` those a
motion box shares a pixel with; both give names in the zones' order. The parsing here serves the
option checks (quarrin.options: --zone, --require-zone, a polygon of --ignore): its errors are
UsageErrors that name the zone. Pure Python, exact on whole pixels; nothing heavy is imported.
"""
import collections.abc
import numbers
import re
import typing

from quarrin.errors import UsageError, named

INT32_MAX = 2**31 - 1
# Zones are joined by ";" in the event list and given as NAME=POINTS: neither, nor ",", is in a name.
NAME_FORBIDS = "=;,"
MAX_NAME = 100

Point = tuple[int, int]


class Zone(typing.NamedTuple):
    """A named polygon in the region's pixels: `points` is a tuple of (x, y), at least three."""
    name: str
    points: tuple[Point, ...]

    @property
    def text(self) -> str:
        """The zone as --zone takes it: NAME=X1,Y1,X2,Y2,..."""
        return "%s=%s" % (self.name, points_text(self.points))


def points_text(points) -> str:
    return ",".join("%d,%d" % tuple(p) for p in points)


# ---- parsing (for the option checks) --------------------------------------------------------------

def _is_number(value) -> bool:
    return isinstance(value, numbers.Real) and not isinstance(value, bool)


def _is_pair(value) -> bool:
    return isinstance(value, (tuple, list)) and len(value) == 2 and all(_is_number(v) for v in value)


def flat_numbers(value) -> typing.Optional[list]:
    """The numbers of a polygon or a rectangle as given: a text split at commas, a sequence of
    numbers or of [x, y] pairs; None for anything else. The numbers themselves are not checked."""
    if isinstance(value, str):
        return re.split(r"\s*,\s*", value.strip())
    if isinstance(value, (tuple, list)) and value:
        if all(_is_pair(v) for v in value):
            return [n for pair in value for n in pair]
        if not any(isinstance(v, (tuple, list, dict)) for v in value):
            return list(value)
    return None


def is_one_area(value) -> bool:
    """Whether `value` is one rectangle or polygon (a text, numbers, [x, y] pairs), not a list of them."""
    return isinstance(value, str) or (isinstance(value, (tuple, list)) and bool(value)
                                      and (_is_number(value[0]) or all(_is_pair(v) for v in value)))


def whole_numbers(option, value, numbers_given, shown, what="") -> list:
    """The numbers of `numbers_given` as ints from 0 to INT32_MAX, or UsageError(option, shown)."""
    result = []
    for part in numbers_given:
        if isinstance(part, str):
            try:
                number = int(part.strip())
            except ValueError:
                raise UsageError(option, shown, "%sexpected whole numbers" % what) from None
        elif isinstance(part, numbers.Integral) and not isinstance(part, bool):
            number = int(part)
        else:
            raise UsageError(option, shown, "%sexpected whole numbers" % what)
        if number < 0:
            raise UsageError(option, shown, "%scoordinates are 0 or more, not %d" % (what, number))
        if number > INT32_MAX:
            raise UsageError(option, shown, "%scoordinates are at most %d" % (what, INT32_MAX))
        result.append(number)
    return result


def polygon(option, value, shown=None, what="") -> tuple[Point, ...]:
    """A polygon's points from X1,Y1,X2,Y2,X3,Y3,... (a text, numbers, or [x, y] pairs): at least
    three points, whole numbers 0 or more, some area. `what` leads each reason ("zone door: ")."""
    shown = value if shown is None else shown
    given = flat_numbers(value)
    if given is None:
        raise UsageError(option, shown, "%sexpected X1,Y1,X2,Y2,X3,Y3,... (at least three points)" % what)
    found = whole_numbers(option, value, given, shown, what)
    if len(found) % 2:
        raise UsageError(option, shown, "%san odd count of numbers (%d): give an X and a Y for each point"
                         % (what, len(found)))
    points = tuple(zip(found[0::2], found[1::2]))
    if len(points) < 3:
        raise UsageError(option, shown, "%sa polygon needs at least three points, not %d" % (what, len(points)))
    if _on_one_line(points):
        raise UsageError(option, shown, "%sits points lie on one line: it holds no area" % what)
    return points


def zone_name(option, name, shown) -> str:
    if not isinstance(name, str) or not name.strip():
        raise UsageError(option, shown, "a zone needs a name: NAME=X1,Y1,X2,Y2,X3,Y3,...")
    text = name.strip()
    if len(text) > MAX_NAME or not text.isprintable() or any(c in text for c in NAME_FORBIDS):
        raise UsageError(option, shown, "zone %s: a zone's name is 1 to %d printable characters without %s"
                         % (text, MAX_NAME, " ".join(repr(c) for c in NAME_FORBIDS)))
    return text


def parse_zones(option, value) -> tuple[Zone, ...]:
    """The zones of --zone NAME=X1,Y1,... (a text, or a list of them, as the option repeats) or of
    a dict of name to points (a text, numbers or [x, y] pairs), in the given order; Zones pass as
    they are. A name used twice is refused."""
    if isinstance(value, collections.abc.Mapping):
        items = list(value.items())
    elif isinstance(value, str):
        items = [_split_zone(option, value)]
    elif isinstance(value, (list, tuple)):
        items = []
        for item in value:
            if isinstance(item, str):
                items.append(_split_zone(option, item))
            elif isinstance(item, (tuple, list)) and len(item) == 2 and isinstance(item[0], str):
                items.append((item[0], item[1]))
            else:
                raise UsageError(option, item, "expected NAME=X1,Y1,X2,Y2,X3,Y3,...")
    else:
        raise UsageError(option, value, "expected NAME=X1,Y1,X2,Y2,X3,Y3,... or a dict of name to points")
    result, seen = [], set()
    for name, points in items:
        shown = _shown_zone(name, points)
        name = zone_name(option, name, shown)
        if name in seen:
            raise UsageError(option, shown, "zone %s: the name is used twice" % name)
        seen.add(name)
        result.append(Zone(name, polygon(option, points, shown, "zone %s: " % name)))
    return tuple(result)


def _split_zone(option, text):
    name, equals, points = text.partition("=")
    if not equals:
        raise UsageError(option, text, "expected NAME=X1,Y1,X2,Y2,X3,Y3,...")
    return name, points


def _shown_zone(name, points):
    """A zone as the user gave it, for a message: NAME=X1,Y1,..."""
    given = flat_numbers(points)
    return "%s=%s" % (name, points if isinstance(points, str) or given is None
                      else ",".join(str(n) for n in given))


def parse_names(option, value, zones=None) -> tuple[str, ...]:
    """Names of zones (a text, names split at commas, or a list of them), each once, in the given
    order; with `zones`, a name that is none of theirs is refused."""
    if isinstance(value, str):
        value = [value]
    if not isinstance(value, (list, tuple)) or not all(isinstance(v, str) for v in value):
        raise UsageError(option, value, "expected zone names")
    known = None if zones is None else [z.name for z in zones]
    result = []
    for text in value:
        for name in text.split(","):
            name = name.strip()
            if not name:
                raise UsageError(option, text, "expected zone names (NAME,NAME,...)")
            if known is not None and name not in known:
                raise UsageError(option, name, "is no zone; %s" % (
                    "the zones are %s" % ", ".join(known) if known else "give the zone with %s first" % named("zones")))
            if name not in result:
                result.append(name)
    return tuple(result)


def check_in_region(zones, width, height) -> None:
    """Refuses a zone with a point outside a `width` x `height` region (0 to width, 0 to height)."""
    for zone in zones:
        for x, y in zone.points:
            if x > width or y > height:
                raise UsageError("zones", zone.text, "zone %s: the point %d,%d lies outside the %dx%d region"
                                 % (zone.name, x, y, width, height))


# ---- geometry ---------------------------------------------------------------------------------------

def _on_one_line(points) -> bool:
    (x0, y0), rest = points[0], points[1:]
    other = next((p for p in rest if p != (x0, y0)), None)
    if other is None:
        return True
    dx, dy = other[0] - x0, other[1] - y0
    return all(dx * (y - y0) == dy * (x - x0) for x, y in rest)


def _edges(points):
    return zip(points, points[1:] + points[:1])


def _points(zone):
    return tuple(zone.points) if isinstance(zone, Zone) else tuple(zone)


def _on_edge(x, y, a, b) -> bool:
    (x1, y1), (x2, y2) = a, b
    return ((x2 - x1) * (y - y1) == (y2 - y1) * (x - x1)
            and min(x1, x2) <= x <= max(x1, x2) and min(y1, y2) <= y <= max(y1, y2))


def inside(zone, x, y) -> bool:
    """Whether the point x, y lies in `zone` (a Zone or its points); its edges count as inside.
    Even-odd: where a polygon crosses itself, what it covers twice is outside."""
    points = _points(zone)
    odd = False
    for a, b in _edges(points):
        if _on_edge(x, y, a, b):
            return True
        (x1, y1), (x2, y2) = a, b
        if (y1 > y) != (y2 > y):
            # Does the edge cross the row at y to the right of x? (compared without a division)
            d = y2 - y1
            if ((x - x1) * d < (y - y1) * (x2 - x1)) == (d > 0):
                odd = not odd
    return odd


def bottom_centre(box) -> Point:
    """The middle pixel of a box's bottom row: where an object stands."""
    x, y, w, h = box
    return x + max(w, 0) // 2, y + max(h - 1, 0)


def entered_by_object(zones, box) -> tuple[str, ...]:
    """The names of the zones that hold the bottom centre of an object's `box` (x, y, width,
    height), in the zones' order."""
    x, y = bottom_centre(box)
    return tuple(zone.name for zone in zones if inside(zone, x, y))


def entered_by_motion(zones, box) -> tuple[str, ...]:
    """The names of the zones that share a pixel with the motion `box` (x, y, width, height), in
    the zones' order."""
    return tuple(zone.name for zone in zones if overlaps(zone, box))


def overlaps(zone, box) -> bool:
    """Whether `zone` holds a pixel of `box`: some whole x, y with box.x <= x < box.x + width and
    box.y <= y < box.y + height that is `inside` it."""
    bx, by, bw, bh = box
    if bw <= 0 or bh <= 0:
        return False
    points = _points(zone)
    left, top, right, bottom = bx, by, bx + bw - 1, by + bh - 1
    xs, ys = [p[0] for p in points], [p[1] for p in points]
    if max(xs) < left or min(xs) > right or max(ys) < top or min(ys) > bottom:
        return False
    # The usual cases at once: a corner of the zone in the box, a corner of the box in the zone.
    if any(left <= x <= right and top <= y <= bottom for x, y in points):
        return True
    if any(inside(points, x, y) for x, y in ((left, top), (right, top), (left, bottom), (right, bottom))):
        return True
    for row in range(max(top, min(ys)), min(bottom, max(ys)) + 1):
        for low, high in _stretches(points, row):
            if max(low, left) <= min(high, right):
                return True
    return False


def _stretches(points, row):
    """The whole x from `low` to `high` of each stretch of the whole-numbered `row` that lies in the
    polygon: between pairs of the crossings of its edges (an edge crosses when one end lies below
    the row and the other on or above it, as `inside` counts), and the vertices and horizontal
    edges on the row, which that count may leave out. A crossing is kept as its floor and whether
    it lies past it: crossings inside one open unit interval may then sort in either order, which
    changes none of the whole x between the pairs."""
    crossings, found = [], []
    for (x1, y1), (x2, y2) in _edges(points):
        if y1 == row:
            found.append((x1, x1))
            if y2 == row:
                found.append((min(x1, x2), max(x1, x2)))
        if (y1 > row) != (y2 > row):
            num, den = (row - y1) * (x2 - x1), y2 - y1
            if den < 0:
                num, den = -num, -den
            crossings.append((x1 + num // den, num % den != 0))
    crossings.sort()
    found.extend((low + past, high) for (low, past), (high, _) in zip(crossings[0::2], crossings[1::2]))
    return found
