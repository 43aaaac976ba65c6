"""Generator calls as the recorder keeps them open across their yields:
exhausted, closed, abandoned, thrown into, sent to, delegated to, resumed on
another thread, and looked at from the outside."""
import gc
import inspect
import sys
import threading
import traceback


def numbers(n, log):
    for i in range(n):
        log.append(i)
        yield i * i
    return f"{n} numbers"


def guarded(log):
    try:
        yield "first"
        yield "second"
    except ValueError as e:
        log.append(f"caught {e}")
        yield "after throw"
    finally:
        log.append("finally")


def returns_on_close():
    try:
        yield 1
    except GeneratorExit:
        print("closing, returning")
        return "ignored"


def stubborn():
    try:
        yield 1
    except GeneratorExit:
        yield 2


def leaks_stop():
    yield 1
    next(iter(()))


def fails_late(n):
    yield n
    raise KeyError(n)


def outer(n, log):
    got = yield from numbers(n, log)
    yield got
    yield from guarded(log)


def tree(depth):
    if depth == 0:
        yield "leaf"
        return
    yield f"node {depth}"
    yield from tree(depth - 1)
    yield from tree(depth - 1)


def chain(depth):
    if depth:
        got = yield from chain(depth - 1)
        return got + 1
    yield "bottom"
    return 0


class Letters:
    def __iter__(self):
        print("Letters.__iter__ runs once")
        return iter("xy")


def over_letters():
    yield from Letters()
    yield from "ab"
    yield from {"k": 1}


class Bag:
    def __init__(self, items):
        self.items = list(items)

    def __iter__(self):
        for item in self.items:
            yield item

    @classmethod
    def counting(cls, n):
        for i in range(n):
            yield cls.__name__, i

    @staticmethod
    def pairs(xs):
        yield from zip(xs, xs[1:])


def deep(n):
    # Nested past the depth where functions keep both bodies.
    def l2():
        def l3():
            def l4():
                def l5():
                    def countdown(k):
                        while k:
                            yield k
                            k -= 1
                        return "liftoff"
                    g = countdown(n)
                    return list(g), inspect.getgeneratorstate(g)
                return l5()
            return l4()
        return l3()
    return l2()


def uses_consumer(n):
    log = []
    total = sum(numbers(n, log))
    return total, log


def main():
    log = []
    print(inspect.isgeneratorfunction(numbers), inspect.isgeneratorfunction(Bag.counting))
    print(list(numbers(4, log)), log)

    g = numbers(3, log)
    print(inspect.getgeneratorstate(g), g.gi_frame is not None, g.gi_code.co_name)
    print(next(g), inspect.getgeneratorstate(g), g.gi_frame.f_lineno > 0)
    print(sorted(g.gi_frame.f_locals))
    print(g.close(), inspect.getgeneratorstate(g), g.gi_frame)

    g = numbers(10, log)
    next(g)
    next(g)
    del g
    gc.collect()
    print("abandoned", log[-2:])

    log = []
    g = guarded(log)
    print(next(g), g.throw(ValueError("boom")))
    try:
        next(g)
    except StopIteration as e:
        print("exhausted", e.value, log)

    g = guarded(log)
    next(g)
    try:
        g.throw(KeyError("unhandled"))
    except KeyError as e:
        print("propagated", repr(e), log[-1])

    g = returns_on_close()
    next(g)
    print("close ->", g.close())

    g = stubborn()
    next(g)
    try:
        g.close()
    except RuntimeError as e:
        print("RuntimeError:", e)
    del g

    try:
        list(leaks_stop())
    except RuntimeError as e:
        print("RuntimeError:", e, type(e.__cause__).__name__)

    g = fails_late(7)
    print(next(g))
    try:
        next(g)
    except KeyError:
        tb = traceback.format_exc().splitlines()
        print("\n".join(line for line in tb if "line" in line))

    log = []
    print(list(outer(3, log)), log)
    g = outer(2, log)
    print([next(g) for _ in range(3)], g.gi_yieldfrom is not None)
    print(g.send(None), g.throw(ValueError("via outer")))
    g.close()

    print(list(tree(3)))
    g = chain(60)
    print(next(g))
    try:
        next(g)
    except StopIteration as e:
        print("chain returned", e.value)
    print(list(over_letters()))
    g = over_letters()
    next(g)
    try:
        g.send("no send on a str iterator")
    except AttributeError as e:
        print("AttributeError:", e)
    print(list(Bag("abc")), list(Bag.counting(2)), list(Bag.pairs([1, 2, 3])))
    print(uses_consumer(5))
    print(deep(3))
    print(sum(x for x in numbers(3, [])), [y for y in numbers(2, [])])

    g = numbers(4, log)
    print(next(g))
    results = []
    t = threading.Thread(target=lambda: results.extend(g))
    t.start()
    t.join()
    print("other thread", results)

    def counter():
        count = 0
        while True:
            got = yield count
            count += got or 1

    c = counter()
    print(next(c), c.send(5), c.send(None), next(c))
    c.close()

    print("frames", sys._getframe().f_code.co_name)


main()
