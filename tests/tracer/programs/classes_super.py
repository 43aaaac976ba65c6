"""Classes, inheritance, super(), properties and private names."""
import dataclasses
import enum


class Base:
    registry = []

    def __init_subclass__(cls, tag="none", **kwargs):
        super().__init_subclass__(**kwargs)
        cls.tag = tag
        Base.registry.append(cls.__name__)

    def __init__(self, value):
        self.value = value
        self.__secret = value * 10

    def describe(self):
        return f"{type(self).__name__}({self.value}) secret={self.__secret}"

    def _peek(self):
        return self.__secret

    @property
    def double(self):
        return self.value * 2

    @double.setter
    def double(self, v):
        self.value = v // 2

    @classmethod
    def build(cls, v):
        return cls(v)

    @staticmethod
    def helper(a, b=3):
        return a + b


class Left(Base, tag="left"):
    def __init__(self, value):
        super().__init__(value + 1)
        self.__secret = "left"

    def describe(self):
        return "L:" + super().describe() + f" own={self.__secret}"


class Right(Base, tag="right"):
    def describe(self):
        return "R:" + super().describe()


class Diamond(Left, Right, tag="diamond"):
    def describe(self):
        return "D:" + super().describe()

    def __private_method(self):
        return "mangled-ok"

    def call_private(self):
        return self.__private_method(), self._Diamond__private_method()


class Meta(type):
    def __new__(mcls, name, bases, ns):
        ns["made_by_meta"] = name.upper()
        return super().__new__(mcls, name, bases, ns)

    def __call__(cls, *args, **kwargs):
        obj = super().__call__(*args, **kwargs)
        obj.via_meta = True
        return obj


class WithMeta(metaclass=Meta):
    def __init__(self, x=1):
        self.x = x


@dataclasses.dataclass(order=True)
class Point:
    x: int
    y: int = 0

    def norm1(self):
        return abs(self.x) + abs(self.y)


class Color(enum.Enum):
    RED = 1
    GREEN = 2

    def label(self):
        return self.name.lower()


class Vector:
    __slots__ = ("a", "b")

    def __init__(self, a, b):
        self.a, self.b = a, b

    def __add__(self, other):
        return Vector(self.a + other.a, self.b + other.b)

    def __eq__(self, other):
        return (self.a, self.b) == (other.a, other.b)

    def __repr__(self):
        return f"Vector({self.a}, {self.b})"

    def __getattr__(self, name):
        return f"missing:{name}"


class Lazy:
    def __getattribute__(self, name):
        if name == "magic":
            return 42
        return object.__getattribute__(self, name)


def main():
    for cls in (Base, Left, Right, Diamond):
        obj = cls.build(3)
        print(obj.describe(), obj.double, obj._peek())
    d = Diamond(5)
    d.double = 40
    print(d.value, d.call_private(), Diamond.__mro__[1].__name__)
    print(Base.registry, Left.tag, Diamond.tag, Base.helper(4), d.helper(1, b=1))
    w = WithMeta(x=7)
    print(w.x, w.via_meta, WithMeta.made_by_meta)
    pts = sorted([Point(3, 1), Point(1, 2), Point(1, -1)])
    print(pts, [p.norm1() for p in pts], dataclasses.asdict(pts[0]))
    print(Color.RED.label(), Color(2), list(Color))
    v = Vector(1, 2) + Vector(3, 4)
    print(v, v == Vector(4, 6), v.nothing)
    print(Lazy().magic, hasattr(Lazy(), "zzz"))
    try:
        Vector(1, 2).c = 3
    except AttributeError as e:
        print("slots:", e)
    print(isinstance(d, Right), issubclass(Diamond, Left), type(d).__qualname__)
    print(Base.describe.__qualname__, Diamond.call_private.__name__)


main()
