"""The pure-Python modules the compiled core relies on."""
import abc
import datetime
import functools
import os
import pickle
import subprocess
import sys
import textwrap
import time

import jsonpickle.unpickler
import pytest

from tarnwick_collector.channels.memory import InMemoryChannel
from tarnwick_collector.data_serialization.utils import (
    MAIN_STR,
    replace__main__with_real_name,
)
from tarnwick_common.consts.should_mock import ShouldMockConsts
from tarnwick_common.name_extractor import get_function_full_name, get_function_module
from tarnwick_common.utils import object_wrapper as ow
from tarnwick_common.utils.functions_data import get_signature
from tarnwick_common.utils.hash import get_hash


class Outer:
    class Inner:
        def method(self):
            return 1

    @staticmethod
    def static():
        return 2


def plain(a, b=1, *args, c, **kw):
    return a


class AbstractBase(abc.ABC):
    """A class whose metaclass lives in another module."""


@pytest.mark.parametrize(
    "func, module, full_name",
    [
        (plain, __name__, f"{__name__}.plain"),
        (Outer.Inner.method, __name__, f"{__name__}.Outer.Inner.method"),
        (Outer.static, __name__, f"{__name__}.Outer.static"),
        (time.time, "time", "time.time"),
        (len, "builtins", "builtins.len"),
        ([].append, "builtins", "builtins.list.append"),
        (str.join, "builtins", "builtins.str.join"),
        (dict, "builtins", "builtins.dict"),
        (functools.partial(plain, 1), "functools", "functools.partial"),
        # class methods of native classes, bound to their class
        (datetime.datetime.now, "datetime", "datetime.datetime.now"),
        (datetime.date.today, "datetime", "datetime.date.today"),
        (dict.fromkeys, "builtins", "builtins.dict.fromkeys"),
        (AbstractBase.__init_subclass__, __name__,
         f"{__name__}.AbstractBase.__init_subclass__"),
    ],
)
def test_names_resolve_back_to_the_callable(func, module, full_name):
    got_module = get_function_module(func, getattr(func, "__self__", None))
    assert got_module == module
    assert get_function_full_name(got_module, func) == full_name
    if module != "functools" and "append" not in full_name:
        assert jsonpickle.unpickler.loadclass(full_name) == func


class LocalError(Exception):
    def __init__(self):
        self.inherited_init = super().__init__


def test_inherited_slot_is_named_after_its_defining_class():
    bound = LocalError().inherited_init
    module = get_function_module(bound, getattr(bound, "__self__", None))
    assert get_function_full_name(module, bound) == "builtins.Exception.__init__"


def test_name_extraction_never_runs_getattr():
    class Trap:
        def __getattr__(self, name):
            raise AssertionError(f"__getattr__({name}) ran")

        def __call__(self):
            pass

    trap = Trap()
    module = get_function_module(trap, None)
    assert module == __name__
    assert get_function_full_name(module, trap).endswith("Trap")


def test_full_name_without_module_is_the_qualified_name():
    assert get_function_full_name(None, plain) == "plain"


@pytest.mark.parametrize(
    "func_name, path, expected",
    [
        ("__main__.f", "app.py", "app.f"),
        ("__main__.A.f", os.path.join("pkg", "cli.py"), "pkg.cli.A.f"),
        ("__main__.f", os.path.join(".", "pkg", "__init__.py"), "pkg.f"),
        ("__main__.f", os.path.join("pkg", "sub", "run.pyw"), "pkg.sub.run.f"),
    ],
)
def test_main_script_names(func_name, path, expected):
    assert MAIN_STR == "__main__"
    assert replace__main__with_real_name(func_name, path) == expected


def test_signature_and_hash():
    spec = get_signature(plain)
    assert spec.args == ["a", "b"] and spec.varargs == "args"
    assert spec.kwonlyargs == ["c"] and spec.varkw == "kw"
    assert get_signature(42) is None
    assert get_hash(len) is None
    assert get_hash(plain) == get_hash(plain)
    assert len(get_hash(plain)) == 32


def test_hash_changes_with_the_code():
    def make(body):
        namespace = {}
        exec(textwrap.dedent(f"def f(x):\n    return {body}\n"), namespace)
        return namespace["f"]

    assert get_hash(make("x + 1")) == get_hash(make("x + 1"))
    assert get_hash(make("x + 1")) != get_hash(make("x + 2"))


def test_remembered_digests_follow_code_identity():
    import gc
    from tarnwick_common.utils import hash as code_hash

    def compiled(filename):
        return compile("def f(x):\n    return x\n", filename, "exec")

    def function(code):
        namespace = {}
        exec(code, namespace)
        return namespace["f"]

    # Equal code from two files: each digest is its own, also when asked
    # again (the first is remembered, not handed to the second).
    first, second = function(compiled("a.py")), function(compiled("b.py"))
    assert first.__code__ == second.__code__
    digests = {get_hash(first), get_hash(second)}
    assert len(digests) == 2
    assert {get_hash(first), get_hash(second)} == digests
    # A remembered digest goes with its code object.
    key = id(first.__code__)
    assert key in code_hash._digests
    del first
    gc.collect()
    assert key not in code_hash._digests


@pytest.mark.parametrize(
    "name", ["builtins.len", "builtins.isinstance", "math.sqrt", "json.dumps",
             "builtins.str.join", "builtins.list.append", "builtins.dict.get"],
)
def test_stateless_names(name):
    assert name in ShouldMockConsts.STATELESS_EXTERNAL_FULL_NAMES


@pytest.mark.parametrize(
    "name", ["time.time", "random.random", "io.open", "builtins.input", "os.getenv",
             # a call of any partial object goes by this name
             "functools.partial",
             # effects beyond their arguments, or results of the process
             "builtins.next", "builtins.id", "builtins.hash", "builtins.vars"],
)
def test_stateful_names_are_not_stateless(name):
    assert name not in ShouldMockConsts.STATELESS_EXTERNAL_FULL_NAMES


def _roundtrip(obj):
    return pickle.loads(pickle.dumps(obj, protocol=pickle.HIGHEST_PROTOCOL))


@pytest.mark.parametrize(
    "make",
    [
        lambda: ow.ModuleWrapper("os.path"),
        lambda: ow.SpecialWrapper("pkg.factory"),
        lambda: ow.FunctionWrapper("pkg.mod.f"),
        lambda: ow.ExceptionWrapper("builtins.ValueError", ("bad",), {"note": 1}),
    ],
)
def test_named_wrappers_pickle_and_compare(make):
    wrapper = make()
    back = _roundtrip(wrapper)
    assert type(back) is type(wrapper) and back == wrapper
    assert type(wrapper).__name__ in repr(wrapper)


def test_object_wrapper_keeps_class_functions_and_state():
    wrapper = ow.ObjectWrapper(Outer, {"m": ow.FunctionWrapper("x.m")})
    wrapper.__dict__.update({"host": "db", "port": 5432})
    back = _roundtrip(wrapper)
    assert back.wrapped_class is Outer
    assert back.functions == {"m": ow.FunctionWrapper("x.m")}
    assert back.attributes == {"host": "db", "port": 5432}
    assert "host='db'" in repr(back) and "Outer" in repr(back)


def test_captured_attribute_named_like_a_field_does_not_clobber_it():
    wrapper = ow.ObjectWrapper(Outer, {})
    # What pickle does with a state dict for a class without __setstate__.
    wrapper.__dict__.update({"cls": 1, "funcs": 2})
    assert wrapper.wrapped_class is Outer and wrapper.functions == {}
    assert wrapper.attributes == {"cls": 1, "funcs": 2}


def test_unpicklable_object_names_its_type():
    import threading

    placeholder = ow.UnpicklableObject(str(type(threading.Lock())), {})
    placeholder.__dict__.update({"x": 1})
    back = _roundtrip(placeholder)
    assert back.type_name == "_thread.lock"
    assert back.attributes == {"x": 1}
    assert "_thread.lock" in repr(back)


def test_in_memory_channel_keeps_messages_in_order():
    channel = InMemoryChannel()
    for i in range(3):
        channel.send_message(bytes([i]))
    assert channel.messages == [b"\x00", b"\x01", b"\x02"]
    channel.clear()
    assert channel.messages == []


def test_settings_defaults_and_environment(tmp_path):
    code = textwrap.dedent(
        """
        import os, platform
        from tarnwick_collector import __version__
        from tarnwick_collector.configs.collector_settings import CollectorSettings as S
        assert S.tenant_id == "t1" and S.project_id is None
        assert S.python_version == platform.python_version()
        assert S.lib_version == __version__
        assert S.external_calls_max == 7
        assert S.project_files == frozenset() and S.project_path == os.getcwd()
        print("ok")
        """
    )
    env = {**os.environ, "TARNWICK_TENANT_ID": "t1", "TARNWICK_EXTERNAL_CALLS_MAX": "7"}
    env.pop("TARNWICK_PROJECT_ID", None)
    out = subprocess.run([sys.executable, "-c", code], env=env, cwd=tmp_path,
                         capture_output=True, text=True)
    assert out.stdout.strip() == "ok", out.stderr


def test_bad_environment_value_is_a_clear_error(tmp_path):
    env = {**os.environ, "TARNWICK_EXTERNAL_CALLS_MAX": "lots"}
    out = subprocess.run(
        [sys.executable, "-c", "import tarnwick_collector.configs.collector_settings"],
        env=env, capture_output=True, text=True,
    )
    assert out.returncode != 0
    assert "TARNWICK_EXTERNAL_CALLS_MAX must be an integer, got 'lots'" in out.stderr


@pytest.mark.parametrize("form", ["positional", "flag", "keyword"])
def test_default_serializer_accepts_the_three_call_forms(settings, form):
    serialize = settings.serializer.serialize
    value = {"a": [1, 2]}
    data = {
        "positional": lambda: serialize(value),
        "flag": lambda: serialize(value, False),
        "keyword": lambda: serialize(value, object_wrapper=False),
    }[form]()
    assert isinstance(data, bytes) and pickle.loads(data) == value


def _uses_names(items):
    return len(items) + os.sep.count("/") + Outer.static()


def test_hash_does_not_depend_on_reference_counts():
    code = _uses_names.__code__
    before = get_hash(_uses_names)
    held = [code.co_names, code.co_consts, code.co_varnames]
    assert get_hash(_uses_names) == before
    del held
