"""Objects the program drops are freed, and the program's descriptors and
lookups run only when it reads them."""
import collections
import gc
import weakref

freed = []


def make_handler(tag):
    def handler(event):
        return tag + ":" + event
    return handler


def use_and_drop_handlers():
    refs = []
    for tag in ("a", "b", "c"):
        handler = make_handler(tag)
        handler("go")
        refs.append(weakref.ref(handler, lambda ref, tag=tag: freed.append(tag)))
    del handler
    gc.collect()
    return [ref() is None for ref in refs]


Pair = collections.namedtuple("Pair", "left right")


def remake(cls):
    """A class decorator that makes the class again, as slotted-class
    helpers do; the first one is dropped."""
    return type(cls.__name__, cls.__bases__, dict(cls.__dict__))


def describe(box):
    return (box.pair.left, len(type(box).__mro__))


def build_and_drop_classes():
    class Base:
        pass

    @remake
    class Box(Base):
        def __init__(self):
            self.pair = Pair([1] * 3, "r")

    box = Box()
    described = describe(box)
    del box
    gc.collect()
    return described, [c.__name__ for c in Base.__subclasses__()]


entered = []


class Guarded:
    """A data descriptor written in Python that enters a scope each time
    it is read."""

    def __init__(self, value):
        self.value = value

    def __get__(self, obj, objtype=None):
        if obj is None:
            return self
        entered.append(self.value)
        return self.value

    def __set__(self, obj, value):
        raise AttributeError("read only")


def read_guarded():
    class Settings:
        mode = Guarded("fast")

        def __init__(self):
            self.lock = None

    def mode_of(settings):
        return settings.mode

    result = mode_of(Settings())
    return result, list(entered)


class Lazy:
    """A cached value of a slotted class, made on first read by
    __getattr__ and kept in its slot."""
    __slots__ = ("x", "double")
    made = 0

    def __init__(self, x):
        self.x = x

    def __getattr__(self, name):
        if name != "double":
            raise AttributeError(name)
        Lazy.made += 1
        self.double = value = self.x * 2
        return value


def double_of(lazy):
    return lazy.double


def read_lazy():
    lazy = Lazy(21)
    return double_of(lazy), double_of(lazy), Lazy.made


print(use_and_drop_handlers(), sorted(freed))
print(build_and_drop_classes())
print(read_guarded())
print(read_lazy())
