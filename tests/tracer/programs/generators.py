"""Generators, yield from, send/throw/close, generator expressions."""
import itertools


def countdown(n):
    while n > 0:
        received = yield n
        if received:
            n = received
        else:
            n -= 1
    return "done"


def delegate():
    result = yield from countdown(3)
    yield f"inner returned {result}"
    yield from [10, 20]


def echo():
    try:
        while True:
            try:
                value = yield
                print("echo", value)
            except ValueError as e:
                print("handled inside", e)
    finally:
        print("echo closing")


def fib():
    a, b = 0, 1
    while True:
        yield a
        a, b = b, a + b


def pipeline(items):
    evens = (x for x in items if x % 2 == 0)
    squares = (x * x for x in evens)
    return sum(squares)


def gen_with_return_in_finally():
    try:
        yield 1
        yield 2
    finally:
        print("gen finally")


def main():
    print(list(delegate()))
    g = countdown(5)
    print(next(g), g.send(2), next(g))
    try:
        next(g)
    except StopIteration as e:
        print("stop value", e.value)
    e = echo()
    next(e)
    e.send("a")
    e.throw(ValueError("boom"))
    e.send("b")
    e.close()
    print(list(itertools.islice(fib(), 10)))
    print(pipeline(range(10)))
    g2 = gen_with_return_in_finally()
    print(next(g2))
    del g2
    print(sorted({x % 3 for x in range(10)}), dict((k, k * 2) for k in "ab"))
    gen = (i for i in range(3))
    print(gen.__name__, type(gen).__name__, countdown.__code__.co_flags & 0x20 != 0)


main()
