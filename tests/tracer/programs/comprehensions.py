"""Comprehensions, lambdas, walrus, functional helpers."""
import functools
import operator

SCALE = 3


class Item:
    def __init__(self, name, price):
        self.name = name
        self.price = price

    def __repr__(self):
        return f"Item({self.name!r}, {self.price})"


def summarize(items):
    names = [i.name.upper() for i in items if i.price > 1]
    by_name = {i.name: i.price * SCALE for i in items}
    prices = {i.price for i in items}
    nested = [[x * y for x in range(3)] for y in range(3)]
    flat = [x for row in nested for x in row if x]
    total = 0
    running = [(total := total + i.price) for i in items]
    key = lambda it: (-it.price, it.name)
    ordered = sorted(items, key=key)
    biggest = max(items, key=lambda it: it.price)
    return names, by_name, sorted(prices), flat, running, total, ordered, biggest


def main():
    items = [Item("a", 1), Item("b", 5), Item("c", 2)]
    for part in summarize(items):
        print(part)
    print(list(map(lambda x: x ** 2, range(5))), list(filter(None, [0, 1, 2])))
    print(functools.reduce(operator.add, [1, 2, 3]), [f(2) for f in (abs, str, float)])
    compose = lambda f, g: lambda x: f(g(x))
    print(compose(str, lambda x: x + 1)(41))
    print((lambda *a, **k: (a, sorted(k)))(1, 2, z=3, y=4))
    matrix = [[1, 2], [3, 4]]
    print([list(r) for r in zip(*matrix)], {k: v for k, v in zip("xy", matrix)})
    print([y for x in [[1], [2, 3]] if (y := len(x)) > 1], y)


main()
