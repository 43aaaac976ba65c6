"""The top-level module names of the standard library:
``sys.stdlib_module_names`` from Python 3.10 on; before, the built-in
modules and what the interpreter's own library directories hold (without
site-packages)."""
import os
import sys
import sysconfig


def _from_directories() -> frozenset:
    names = set(sys.builtin_module_names)
    paths = sysconfig.get_paths()
    roots = {p for p in (paths.get("stdlib"), paths.get("platstdlib")) if p}
    for root in roots:
        for directory in (root, os.path.join(root, "lib-dynload")):
            try:
                entries = os.listdir(directory)
            except OSError:
                continue
            for entry in entries:
                name, _, suffix = entry.partition(".")
                if not name.isidentifier() or entry == "site-packages":
                    continue
                if suffix.startswith(("py", "cpython")) or suffix.endswith("so") or (
                        not suffix and os.path.isfile(
                            os.path.join(directory, entry, "__init__.py"))):
                    names.add(name)
    return frozenset(names)


STDLIB_MODULE_NAMES = getattr(sys, "stdlib_module_names", None) or _from_directories()
