"""Decorators: wrapping, arguments, caching, class decorators."""
import functools
import inspect


def trace(fn):
    @functools.wraps(fn)
    def wrapper(*args, **kwargs):
        shown = tuple(type(a).__name__ if hasattr(a, "__dict__") else a for a in args)
        print("->", fn.__name__, shown, kwargs)
        result = fn(*args, **kwargs)
        print("<-", fn.__name__, result)
        return result
    return wrapper


def repeat(times):
    def deco(fn):
        def inner(*args):
            return [fn(*args) for _ in range(times)]
        inner.times = times
        return inner
    return deco


def register(registry):
    def deco(fn):
        registry[fn.__name__] = fn
        return fn
    return deco


REGISTRY = {}


@trace
def add(a, b=2, *, scale=1):
    """Adds."""
    return (a + b) * scale


@repeat(3)
def hello(name):
    return f"hi {name}"


@register(REGISTRY)
@functools.lru_cache(maxsize=None)
def slow_square(n):
    return n * n


def add_greeting(cls):
    cls.greet = lambda self: f"hello from {type(self).__name__}"
    return cls


@add_greeting
class Person:
    @trace
    def name(self, first, last="X"):
        return f"{first} {last}"


def main():
    print(add(1), add(1, 3, scale=2), add.__name__, add.__doc__, add.__wrapped__.__name__)
    print(inspect.signature(add), inspect.signature(add.__wrapped__))
    print(hello("bob"), hello.times)
    print(slow_square(4), slow_square(4), slow_square.cache_info().hits, sorted(REGISTRY))
    p = Person()
    print(p.name("a"), p.greet())
    print(inspect.getsource(slow_square.__wrapped__).splitlines()[0])
    print(add.__wrapped__.__code__.co_firstlineno, Person.name.__wrapped__.__code__.co_firstlineno)


main()
