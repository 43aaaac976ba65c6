"""Exceptions: chaining, finally, tracebacks and their line numbers."""
import sys
import traceback


class AppError(Exception):
    def __init__(self, code, msg):
        super().__init__(msg)
        self.code = code


def level3(x):
    if x > 2:
        raise AppError(x, f"too big: {x}")
    return {"k": 1}[x]


def level2(x):
    try:
        return level3(x)
    except KeyError as e:
        raise ValueError("wrapped") from e


def level1(x):
    return level2(x)


def finally_override():
    try:
        return "try"
    finally:
        return "finally"


def finally_swallows():
    try:
        raise RuntimeError("lost")
    finally:
        return "swallowed"


def raise_in_finally():
    try:
        return 1
    finally:
        raise LookupError("from finally")


def reraise():
    try:
        1 / 0
    except ZeroDivisionError:
        print("handling", sys.exc_info()[0].__name__)
        raise


def context_chain():
    try:
        {}["missing"]
    except KeyError:
        raise TypeError("during handling")


def attr_error(obj):
    return obj.no_such_attribute


def name_error():
    return undefined_name_here  # noqa: F821


def multi_line(data):
    return (data
            .get("a")
            .upper())


def group():
    raise ExceptionGroup("many", [ValueError(1), TypeError(2)])


def show(fn, *args):
    try:
        fn(*args)
    except BaseException as e:
        print(f"{fn.__name__}: {type(e).__name__}: {e}")
        print("".join(traceback.format_exception(e)).replace(__file__, "FILE"))
        tb = e.__traceback__
        lines = []
        while tb is not None:
            lines.append(tb.tb_lineno)
            tb = tb.tb_next
        print("lines", lines, "cause", type(e.__cause__).__name__,
              "context", type(e.__context__).__name__)


def main():
    for x in (1, 0, 5):
        show(level1, x)
    print(finally_override(), finally_swallows())
    for fn in (raise_in_finally, reraise, context_chain, name_error, group):
        show(fn)
    show(attr_error, object())
    show(multi_line, {"a": None})
    try:
        level1(9)
    except AppError as e:
        print("code", e.code, e.args)
    level1(7)


main()
