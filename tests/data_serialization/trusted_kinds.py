"""Classes of a module of their own, importable by name, for the trusted
types' tests."""
import collections
import datetime
import typing


Point = collections.namedtuple("Point", "x y")
Item = typing.TypeVar("Item")


class Pair(typing.NamedTuple):
    left: int
    right: str = "r"


class Labelled(Point):
    """A named tuple's subclass that adds behaviour, not pickling."""

    def norm(self):
        return abs(self.x) + abs(self.y)


class Reduced(Point):
    def __reduce__(self):
        return (Point, tuple(self))


class Meters(float):
    pass


class Tags(set):
    pass


class Rows(list):
    def __init__(self, *args):
        super().__init__(*args)
        self.title = "rows"


class Slotted(tuple):
    __slots__ = ()


class Registry(dict):
    def __getstate__(self):
        return {}


class Lazy(dict):
    def __getattr__(self, name):
        return name


class Graph:
    """Customises its pickling (a cache it drops), as graph libraries do."""

    def __init__(self, edges):
        self.edges = list(edges)
        self._cache = {}

    def __getstate__(self):
        return {"edges": self.edges}

    def __setstate__(self, state):
        self.edges = state["edges"]
        self._cache = {}

    def __eq__(self, other):
        return type(other) is Graph and other.edges == self.edges


class Offset(datetime.tzinfo):
    """A zone that takes its offset when made, as most zone classes do."""

    def __init__(self, text):
        self.text = text
        self.hours = int(text[1:3]) * (-1 if text[0] == "-" else 1)

    def utcoffset(self, dt):
        return datetime.timedelta(hours=self.hours)

    def dst(self, dt):
        return datetime.timedelta(0)


class Named(Offset):
    """Adds behaviour, not pickling, to a zone class."""

    def tzname(self, dt):
        return "Z" + self.text


class Singleton(datetime.tzinfo):
    def __reduce__(self):
        return (Singleton, ())


class Stated(Offset):
    def __getstate__(self):
        return {"text": self.text}
