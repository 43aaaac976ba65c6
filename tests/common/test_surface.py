"""The public surface of every compiled module, against the files in
tests/surface/ (names in order, what each is, signatures, docstrings,
annotations, class attributes and method kinds, constants' values).

After changing a module's surface on purpose, regenerate the files with
`PYTHONPATH=src python3 tools/update_surface.py` and review their diff."""
import difflib
import importlib.util
import pathlib

import pytest

_TOOL = pathlib.Path(__file__).resolve().parents[2] / "tools" / "update_surface.py"
_spec = importlib.util.spec_from_file_location("update_surface", _TOOL)
surface = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(surface)


@pytest.mark.parametrize("module_name", surface.MODULES,
                         ids=lambda n: n.rsplit(".", 1)[-1])
def test_module_surface_matches_its_snapshot(module_name):
    path = surface.snapshot_path(module_name)
    expected = path.read_text()
    got = surface.describe(module_name)
    if got != expected:
        diff = "".join(difflib.unified_diff(
            expected.splitlines(True), got.splitlines(True),
            str(path.name), module_name))
        pytest.fail(f"the surface of {module_name} changed; if on purpose, "
                    f"run tools/update_surface.py\n{diff}", pytrace=False)


def test_every_compiled_module_has_a_snapshot():
    src = pathlib.Path(__file__).resolve().parents[2] / "src"
    built = {p.name.split(".", 1)[0]
             for p in src.glob("tarnwick_collector/**/*.so")}
    listed = {name.rsplit(".", 1)[-1] for name in surface.MODULES}
    assert built <= listed
    assert sorted(p.name for p in surface.SURFACE_DIR.glob("*.txt")) == sorted(
        surface.snapshot_path(n).name for n in surface.MODULES)


def test_changes_of_a_surface_show_in_its_description(monkeypatch):
    from tarnwick_collector.data_collection import marrowick as mw
    from tarnwick_collector.data_collection.trindle import Trindle

    name = mw.__name__
    monkeypatch.setattr(mw, "BUILTINS", "other")
    monkeypatch.setattr(mw, "EXTRA", 1.0, raising=False)
    # A set that becomes the same object as another is no longer separate.
    monkeypatch.setattr(mw, "reported_modules", mw.IDS_TO_FOLLOW)
    # An alias that no longer is the object it names.
    monkeypatch.setattr(mw, "Trindle_set_current_running_function",
                        lambda func: None)
    text = surface.describe(name)
    assert "\nBUILTINS = str 'other'\n" in text
    assert "\nEXTRA = float 1.0\n" in text
    assert "\nreported_modules = set (same as IDS_TO_FOLLOW)\n" in text
    assert "Trindle.set_current_running_function" not in text
    monkeypatch.setattr(Trindle, "__doc__", "changed")
    assert "doc: 'changed'" not in text
    assert "doc: 'changed'" not in surface.describe(name)  # another module's
    assert "doc: 'changed'" in surface.describe(Trindle.__module__)
