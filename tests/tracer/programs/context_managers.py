"""Context managers: classes, contextlib, suppression, files."""
import contextlib
import io
import os
import tempfile


class Tracker:
    depth = 0

    def __init__(self, name, swallow=False):
        self.name = name
        self.swallow = swallow

    def __enter__(self):
        Tracker.depth += 1
        print("enter", self.name, Tracker.depth)
        return self.name.upper()

    def __exit__(self, exc_type, exc, tb):
        Tracker.depth -= 1
        print("exit", self.name, exc_type.__name__ if exc_type else None)
        return self.swallow


@contextlib.contextmanager
def tagged(tag):
    print("<" + tag + ">")
    try:
        yield tag * 2
    finally:
        print("</" + tag + ">")


def use_files():
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "data.txt")
        with open(path, "w") as fh:
            fh.write("line1\nline2\n")
        with open(path) as fh:
            lines = fh.read().splitlines()
        with open(path, "rb") as a, open(path) as b:
            same = a.read().decode() == b.read()
    return lines, same, os.path.exists(path)


def nested():
    with Tracker("outer") as o, Tracker("inner", swallow=True) as i:
        print("body", o, i)
        raise ValueError("swallowed by inner")
    print("after")


def propagate():
    try:
        with Tracker("p"):
            raise KeyError("goes out")
    except KeyError as e:
        print("caught", e)


def stacks():
    with contextlib.ExitStack() as stack:
        names = [stack.enter_context(Tracker(n)) for n in "xy"]
        stack.callback(print, "callback ran")
        print(names)
    with contextlib.suppress(ZeroDivisionError):
        print(1 / 0)
    buf = io.StringIO()
    with contextlib.redirect_stdout(buf):
        print("captured")
    print(repr(buf.getvalue()))


def not_a_cm():
    try:
        with 42:
            pass
    except TypeError as e:
        print("TypeError:", e)


def main():
    with tagged("b") as t:
        print("value", t)
    print(use_files())
    nested()
    propagate()
    stacks()
    not_a_cm()


main()
