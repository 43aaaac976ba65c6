"""Naming helpers for functions of the script that runs as ``__main__``."""
import os

MAIN_STR = "__main__"

_SOURCE_SUFFIXES = (".py", ".pyw")


def replace__main__with_real_name(func_name: str, file_path: str) -> str:
    """The importable full name of a function defined in the main script.

    :param func_name: its full name under the main module, e.g. ``__main__.f``.
    :param file_path: the script's path relative to the project root.
    :return: the same name under the module that the file is when imported,
        e.g. ``app.cli.f`` for ``app/cli.py``.
    """
    path = os.path.normpath(file_path)
    for suffix in _SOURCE_SUFFIXES:
        if path.endswith(suffix):
            path = path[: -len(suffix)]
            break
    parts = [p for p in path.split(os.sep) if p not in ("", os.curdir)]
    if parts and parts[-1] == "__init__":
        parts.pop()
    module = ".".join(parts)
    prefix = MAIN_STR + "."
    rest = func_name[len(prefix):] if func_name.startswith(prefix) else func_name
    if func_name == MAIN_STR:
        return module
    return f"{module}.{rest}" if module else rest
