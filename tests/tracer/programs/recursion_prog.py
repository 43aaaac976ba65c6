"""Recursion: plain, mutual, memoized, and running into the limit."""
import sys


def fact(n):
    return 1 if n <= 1 else n * fact(n - 1)


def is_even(n):
    return True if n == 0 else is_odd(n - 1)


def is_odd(n):
    return False if n == 0 else is_even(n - 1)


def hanoi(n, a="A", b="B", c="C", moves=None):
    if moves is None:
        moves = []
    if n:
        hanoi(n - 1, a, c, b, moves)
        moves.append(a + c)
        hanoi(n - 1, b, a, c, moves)
    return moves


class Tree:
    def __init__(self, value, *children):
        self.value = value
        self.children = children

    def total(self):
        return self.value + sum(child.total() for child in self.children)

    def depth(self):
        return 1 + max((c.depth() for c in self.children), default=0)


def forever(n):
    return forever(n + 1)


def depth_reached():
    depth = [0]

    def dive(n):
        depth[0] = n
        dive(n + 1)

    try:
        dive(0)
    except RecursionError as e:
        return type(e).__name__, str(e), depth[0]


def main():
    print(fact(20), is_even(50), is_odd(7))
    print(len(hanoi(8)), hanoi(2))
    t = Tree(1, Tree(2, Tree(4)), Tree(3))
    print(t.total(), t.depth())
    sys.setrecursionlimit(400)
    print(depth_reached())
    try:
        forever(0)
    except RecursionError as e:
        print("recursion:", e)


main()
