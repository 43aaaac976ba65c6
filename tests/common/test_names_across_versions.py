"""Callables of the standard library whose ``__module__`` moved between
Python 3.8 and 3.13 keep one recorded name on every version, and that name
imports back to the same callable."""
import asyncio
import decimal
import importlib
import io
import pathlib
import signal

import pytest

from tarnwick_common.name_extractor import get_function_full_name, get_function_module


def resolve(full_name):
    """The longest importable module prefix, then attributes (what the
    store's reader does with a recorded name)."""
    parts = full_name.split(".")
    for cut in range(len(parts), 0, -1):
        try:
            obj = importlib.import_module(".".join(parts[:cut]))
        except ImportError:
            continue
        for attr in parts[cut:]:
            obj = getattr(obj, attr)
        return obj
    raise ImportError(full_name)


@pytest.mark.parametrize("func, name", [
    (io.open, "io.open"),                   # _io.open on 3.12+
    (open, "io.open"),
    (io.open_code, "io.open_code"),
    (asyncio.current_task, "asyncio.tasks.current_task"),  # _asyncio on 3.12+
    (decimal.getcontext, "decimal.getcontext"),  # _decimal on 3.13+
    (decimal.localcontext, "decimal.localcontext"),
    (signal.signal, "signal.signal"),       # _signal on 3.8
    (signal.getsignal, "signal.getsignal"),
    (pathlib.Path.read_text, "pathlib.Path.read_text"),  # pathlib._local on 3.13+
    (pathlib.Path, "pathlib.Path"),
    (pathlib.PurePath.joinpath, "pathlib.PurePath.joinpath"),
    (len, "builtins.len"),                  # untouched
    (io.TextIOWrapper.read, "_io.TextIOWrapper.read"),  # _io on every version
])
def test_moved_callables_keep_one_name_that_resolves(func, name):
    full = get_function_full_name(get_function_module(func, False), func)
    assert full == name
    assert resolve(full) is func
