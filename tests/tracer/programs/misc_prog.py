"""Odds and ends: match, f-strings, argument kinds, descriptors, globals."""
import collections
import json
import random
import time

CONFIG = {"mode": "test", "level": 2}
Pair = collections.namedtuple("Pair", "left right")


class Typed:
    def __set_name__(self, owner, name):
        self.name = "_" + name

    def __get__(self, obj, objtype=None):
        if obj is None:
            return self
        return getattr(obj, self.name, None)

    def __set__(self, obj, value):
        if not isinstance(value, int):
            raise TypeError(f"{self.name[1:]} must be int")
        setattr(obj, self.name, value)


class Account:
    balance = Typed()

    def __init__(self, balance):
        self.balance = balance


def describe(value):
    match value:
        case {"mode": mode, **rest}:
            return f"mapping mode={mode} rest={sorted(rest)}"
        case Pair(left=0, right=r):
            return f"pair starting at zero, right={r}"
        case [first, *others] if len(others) > 1:
            return f"seq {first} +{len(others)}"
        case str() as s:
            return f"string {s!r}"
        case _:
            return "other"


def kinds(a, /, b, *args, c, d=4, **kw):
    return a, b, args, c, d, sorted(kw.items())


def mutate(items, mapping):
    items.append(len(items))
    mapping["seen"] = True
    del mapping["drop"]
    return items, mapping


def deterministic():
    random.seed(1234)
    t = time.time()
    data = json.loads(json.dumps({"x": [1, 2], "t": 0}))
    return [random.randint(0, 9) for _ in range(3)], t > 0, data


def main():
    for v in (CONFIG, Pair(0, 9), [1, 2, 3], "txt", 3.5):
        print(describe(v))
    print(kinds(1, 2, 3, c=5, e=6), kinds(1, b=2, c=3))
    lst, mp = [1], {"drop": 1}
    print(mutate(lst, mp), lst, mp)
    acct = Account(10)
    acct.balance += 5
    print(acct.balance, Account.balance.name)
    try:
        acct.balance = "x"
    except TypeError as e:
        print(e)
    width = 8
    print(f"{'left':<{width}}|{CONFIG['level']:>3}|{3.14159:.2f}|{acct.balance!r}")
    print(deterministic())
    print(sorted(globals())[:3], __name__)


main()
