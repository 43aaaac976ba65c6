"""A small library that passes around the values real programs do:
decimals, fractions, named tuples, deques, counters, datetimes with a time
zone, ranges, iterators, builtin subclasses, generators and decorated
functions."""
import collections
import datetime
import decimal
import fractions
import functools
import ipaddress
import itertools
import re
from typing import NamedTuple

Entry = collections.namedtuple("Entry", "account amount")
WORD = re.compile(r"[a-z]+")


class Money(NamedTuple):
    amount: decimal.Decimal
    currency: str = "EUR"


class Tags(set):
    pass


class Totals(dict):
    def add(self, key, value):
        self[key] = self.get(key, 0) + value


def logged(fn):
    @functools.wraps(fn)
    def wrapper(*args, **kwargs):
        return fn(*args, **kwargs)
    return wrapper


def parse_amount(text):
    return decimal.Decimal(text.strip())


def share(amount, part):
    return amount * decimal.Decimal(part.numerator) / part.denominator


def entries(rows):
    for account, amount in rows:
        yield Entry(account, parse_amount(amount))


def running_totals(values):
    total = decimal.Decimal(0)
    for value in values:
        total += value
        yield total


def by_account(items):
    totals = Totals()
    for entry in items:
        totals.add(entry.account, entry.amount)
    return totals


def recent(history, n):
    window = collections.deque(history, maxlen=n)
    return list(window)


def word_counts(text):
    return collections.Counter(WORD.findall(text.lower()))


def tag(words):
    return Tags(w for w in words if len(w) > 3)


def in_zone(when, zone):
    return when.astimezone(zone)


def days(start, count):
    return [start + datetime.timedelta(days=i) for i in range(count)]


def pages(total, size):
    return range(0, total, size)


def first_page(items, size):
    return list(itertools.islice(iter(items), size))


def same_network(a, b, prefix):
    net = ipaddress.ip_network(f"{a}/{prefix}", strict=False)
    return ipaddress.ip_address(b) in net


def convert(money, rate):
    return Money(money.amount * rate, "USD")


@logged
def fee(amount, percent):
    return amount * percent / 100


def ratio(a, b):
    return fractions.Fraction(a, b)


def scale(pairs, factor):
    return [(k, v * factor) for k, v in pairs]
