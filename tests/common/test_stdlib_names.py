"""The standard library's module names, also before Python 3.10 (which
lacks sys.stdlib_module_names): what a refused object's pickling methods
may be trusted by."""
import sys

from tarnwick_common.utils.stdlib_names import STDLIB_MODULE_NAMES, _from_directories


def test_the_standard_library_and_nothing_installed():
    for names in (STDLIB_MODULE_NAMES, _from_directories()):
        assert {"socket", "_socket", "enum", "json", "os", "asyncio", "sqlite3",
                "sys", "builtins"} <= names
        assert not {"pytest", "tarnwick_collector", "tarnwick_common", "pydantic",
                    "site-packages"} & names


def test_the_directories_agree_with_the_interpreter_where_it_knows():
    if not hasattr(sys, "stdlib_module_names"):
        return
    found = _from_directories()
    # Modules of other platforms are named by the interpreter only.
    shared = {n for n in sys.stdlib_module_names if n in sys.modules or n in found}
    assert shared <= found | set(sys.builtin_module_names) | {
        "_frozen_importlib", "_frozen_importlib_external"}
