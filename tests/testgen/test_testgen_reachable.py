"""Names of the recorded program that a generated test could not find: told
from the module's source, never by importing it."""
import textwrap

import pytest

from tarnwick_collector.testgen.reachable import Reachability, lazy_module_globals


@pytest.fixture
def project(tmp_path):
    def write(name, source):
        path = tmp_path.joinpath(*name.split("/"))
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(source))
    return tmp_path, write


def test_names_bound_at_the_top_of_a_module_are_found(project):
    root, write = project
    write("app/__init__.py", "from app.core import run\n")
    write("app/core.py", """
        import json as codec
        from os import path
        try:
            import fast
        except ImportError:
            fast = None
        if codec:
            def run():
                pass
        else:
            run = None
        for index, label in enumerate("ab"):
            pass
        class Shape:
            def area(self):
                return 0

        def factory():
            ns = {}
            exec("def made(): pass", {}, ns)
            return ns["made"]
    """)
    found = Reachability([str(root)])
    for name in ("app.core.run", "app.core.Shape.area", "app.core.codec", "app.core.path",
                 "app.core.fast", "app.core.index", "app.run", "app.core",
                 "json.dumps", "elsewhere.thing"):
        assert found.is_reachable(name), name
    for name in ("app.core.made", "app.core.factory_made", "app.missing"):
        assert not found.is_reachable(name), name


def test_a_package_binding_a_submodules_name_to_another_object_shadows_it(project):
    root, write = project
    write("dates/__init__.py", """
        from . import tz
        from dates import zones
        from .parser import parser
        try:
            from .fast import isoparse
        except ImportError:
            isoparse = None
    """)
    for name in ("tz", "zones", "parser", "isoparse", "other"):
        write(f"dates/{name}.py", "")
    write("dates/sub/__init__.py", "")
    write("dates/sub/parser.py", "")
    found = Reachability([str(root)])
    assert found.shadowed("dates.parser") and found.shadowed("dates.isoparse")
    for module in ("dates", "dates.tz", "dates.zones", "dates.other", "dates.sub.parser",
                   "json.decoder"):
        assert not found.shadowed(module), module


def test_globals_bound_to_none_and_imported_into_by_a_function_are_found(project):
    root, write = project
    write("pkg/rules.py", """
        import json
        feasts = None
        codec = None
        fast = None
        kept = 1

        def first_use():
            global feasts, codec, kept
            from . import feasts
            import json as codec
            import kept
            from elsewhere import fast   # not declared global here

        def other():
            from os import path
    """)
    found = lazy_module_globals(str(root / "pkg" / "rules.py"), "pkg.rules")
    assert found == {"feasts": "pkg.feasts", "codec": "json"}
    assert lazy_module_globals(str(root / "missing.py"), "missing") == {}


@pytest.mark.parametrize("dynamic", [
    "from helpers import *\n",
    "globals()['made'] = 1\n",
    "globals().update(made=1)\n",
    "exec('made = 1', globals())\n",
    "def __getattr__(name):\n    return name\n",
    "def broken(:\n",
])
def test_a_module_that_binds_names_no_reading_tells_is_trusted(project, dynamic):
    root, write = project
    write("mod.py", dynamic)
    assert Reachability([str(root)]).is_reachable("mod.made")


def test_star_imports_of_the_projects_modules_are_read(project):
    root, write = project
    write("pkg/__init__.py", "from .core import *\nfrom pkg.util import *\n")
    write("pkg/core.py", "__all__ = ['run']\ndef run(): pass\ndef extra(): pass\n")
    write("pkg/util.py", "def helper(): pass\ndef _private(): pass\n")
    write("loop_a.py", "from loop_b import *\n")
    write("loop_b.py", "from loop_a import *\ndef there(): pass\n")
    found = Reachability([str(root)])
    for name in ("pkg.run", "pkg.helper", "pkg.core.extra", "loop_a.there",
                 "loop_a.anything"):
        assert found.is_reachable(name), name
    # A function a doctest made under the package's name, say.
    for name in ("pkg.extra", "pkg._private", "pkg.div"):
        assert not found.is_reachable(name), name


@pytest.mark.parametrize("name,found", [
    ("re.Pattern.finditer", True),
    ("os.path.join", True),
    ("builtins.len", True),
    # Methods of built-in objects named by classes no module holds.
    ("_sre.SRE_Scanner.search", False),
    ("builtins.generator.close", False),
    ("json.no_such_function", False),
    # A module not imported here: nothing of it is run to tell.
    ("surely_not_installed_module.thing", True),
])
def test_names_of_loaded_modules_are_looked_up_without_running_them(tmp_path, name, found):
    import json  # noqa: F401  (loaded, as the standard library mostly is)
    assert Reachability([str(tmp_path)]).is_reachable(name) is found


def test_a_module_getattr_is_not_run_to_tell(tmp_path, monkeypatch):
    import types
    lazy = types.ModuleType("tw_lazy_mod")
    ran = []
    lazy.__getattr__ = lambda name: ran.append(name)  # type: ignore[method-assign]
    monkeypatch.setitem(__import__("sys").modules, "tw_lazy_mod", lazy)
    assert not Reachability([str(tmp_path)]).is_reachable("tw_lazy_mod.thing")
    assert ran == []


def test_a_class_derives_from_the_bases_its_source_writes(project):
    root, write = project
    write("zoo/__init__.py", "")
    write("zoo/base.py", """
        class Animal:
            pass
    """)
    write("zoo/kinds.py", """
        import typing
        from .base import Animal
        from zoo import base as b

        class Pet(Animal):
            pass

        class Cat(Pet, typing.Generic[typing.TypeVar("T")]):
            class Kitten(b.Animal):
                pass

        class Rock:
            pass

        class Odd(make_base()):
            pass
    """)
    reach = Reachability([str(root)])
    assert reach.derives_from("zoo.kinds.Pet", "zoo.base.Animal")
    assert reach.derives_from("zoo.kinds.Cat", "zoo.base.Animal")
    assert reach.derives_from("zoo.kinds.Cat.Kitten", "zoo.base.Animal")
    for cls_name in ("zoo.kinds.Rock", "zoo.kinds.Odd", "zoo.kinds.Gone", "elsewhere.Cat"):
        assert not reach.derives_from(cls_name, "zoo.base.Animal")


def test_a_method_of_instances_is_told_from_static_and_class_methods(project):
    root, write = project
    write("kit/__init__.py", "")
    write("kit/tools.py", """
        class Tool:
            def use(self):
                pass

            @staticmethod
            def make():
                pass

            @classmethod
            def kind(cls):
                pass

            class Part:
                def fit(self):
                    pass


        def free():
            pass
    """)
    reach = Reachability([str(root)])
    assert reach.instance_method("kit.tools.Tool.use")
    assert reach.instance_method("kit.tools.Tool.Part.fit")
    for name in ("kit.tools.Tool.make", "kit.tools.Tool.kind", "kit.tools.free",
                 "kit.tools.Tool", "kit.tools.Tool.gone", "other.Tool.use"):
        assert not reach.instance_method(name), name
