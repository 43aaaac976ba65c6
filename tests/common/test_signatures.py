"""Signatures of annotated functions: they must travel with the records,
whatever the annotations are."""
import importlib
import sys
import textwrap
import typing
from typing import Any, Callable, Dict, List, Optional

import pytest

import tarnwick_collector
from tarnwick_common.utils.functions_data import get_signature

quessel = pytest.importorskip("tarnwick_collector.data_serialization.quessel")


class Model:
    pass


class Tag:
    def __repr__(self):  # an annotation object whose text is not asked for
        raise AssertionError("repr of an annotation object was called")


def typed(a: List[int], b: Optional[str], *rest: typing.Tuple[int, ...],
          f: "Model", g: Model = None, h: Tag() = 1,
          **kw: Dict[str, List[Model]]) -> Callable[[int], str]:
    return None


def plain(a, b=2):
    return a


def test_signature_keeps_its_shape_and_serializes():
    spec = get_signature(typed)
    assert spec.args == ["a", "b"] and spec.varargs == "rest"
    assert spec.kwonlyargs == ["f", "g", "h"] and spec.varkw == "kw"
    assert spec.kwonlydefaults == {"g": None, "h": 1}
    notes = spec.annotations
    assert set(notes) == {"a", "b", "rest", "f", "g", "h", "kw", "return"}
    assert notes["f"] == "Model" and notes["g"] is Model
    assert notes["kw"] == f"typing.Dict[str, typing.List[{__name__}.Model]]"
    serializer = quessel.IpcPickleSerializer()
    blob = serializer.serialize(spec, object_wrapper=False)
    assert serializer.deserialize(blob) == spec


# (source of the annotation, the oldest interpreter that has it)
GENERIC_ANNOTATIONS = [
    ("List[int]", (3, 8)),
    ("Optional[str]", (3, 8)),
    ("Dict[str, List[Model]]", (3, 8)),
    ("Callable[[int], str]", (3, 8)),
    ("typing.Tuple[int, ...]", (3, 8)),
    ("typing.Union[int, Model]", (3, 8)),
    ("list[int]", (3, 9)),
    ("dict[str, Optional[int]]", (3, 9)),
    ("int | None", (3, 10)),
]


@pytest.mark.parametrize("source, since", GENERIC_ANNOTATIONS,
                         ids=[s for s, _ in GENERIC_ANNOTATIONS])
def test_generic_annotations_become_their_text(source, since):
    if sys.version_info < since:
        pytest.skip(f"{source} needs Python {since}")
    value = eval(source, dict(globals()))

    def annotated(x):
        return x

    annotated.__annotations__ = {"x": value, "return": value}
    notes = get_signature(annotated).annotations
    assert notes == {"x": repr(value), "return": repr(value)}


@pytest.mark.parametrize("value, expected", [
    (int, int), (Model, Model), ("Model", "Model"), (None, None),
    (Any, None),  # a class from 3.11 on, a special form before
    (Tag(), f"<{__name__}.Tag object>"),  # named, its __repr__ not run
    (3, "<builtins.int object>"),
])
def test_other_annotations(value, expected):
    def annotated(x):
        return x

    annotated.__annotations__ = {"x": value}
    (note,) = get_signature(annotated).annotations.values()
    if value is Any:
        assert note in (Any, "typing.Any")
    else:
        assert note == expected and type(note) is type(expected)


def test_signature_without_annotations_is_unchanged():
    spec = get_signature(plain)
    assert spec.args == ["a", "b"] and spec.defaults == (2,)
    assert spec.annotations == {}
    assert get_signature(42) is None


def _fresh():
    def f(a, b: int = 1, *, c=2):
        return a
    return f


def _set_signature(f):
    import inspect

    f.__signature__ = inspect.Signature(
        [inspect.Parameter("z", inspect.Parameter.POSITIONAL_OR_KEYWORD)])


def _plain():
    def f(a, b=1, *, c=2):
        return a
    return f


@pytest.mark.parametrize("make", [_fresh, _plain], ids=["annotated", "not annotated"])
@pytest.mark.parametrize("change, check", [
    (lambda f: setattr(f, "__defaults__", (5,)),
     lambda s: s.defaults == (5,)),
    (lambda f: setattr(f, "__kwdefaults__", {"c": 9}),
     lambda s: s.kwonlydefaults == {"c": 9}),
    (lambda f: f.__annotations__.__setitem__("a", str),
     lambda s: s.annotations["a"] is str),
    (lambda f: f.__annotations__.__setitem__("b", str),
     lambda s: s.annotations["b"] is str),
    (lambda f: setattr(f, "__annotations__", {}),
     lambda s: s.annotations == {}),
    (lambda f: setattr(f, "__annotations__", {"c": int}),
     lambda s: s.annotations == {"c": int}),
    (lambda f: setattr(f, "__code__", (lambda x, y=1, *, c=2: x).__code__),
     lambda s: s.args == ["x", "y"]),
    (_set_signature, lambda s: s.args == ["z"]),
])
def test_a_remembered_signature_follows_changes_of_its_function(make, change, check):
    f = make()
    first = get_signature(f)
    assert get_signature(f) is first   # remembered
    change(f)
    assert check(get_signature(f))


def test_remembered_signatures_go_with_their_functions():
    import gc

    from tarnwick_common.utils import functions_data

    f = _fresh()
    get_signature(f)
    key = id(f)
    assert key in functions_data._signatures
    del f
    gc.collect()
    assert key not in functions_data._signatures


ANNOTATED = '''
from typing import Dict, List, Optional


def collect(values: List[int], scale: Optional[int] = None) -> Dict[str, int]:
    return {str(v): v * (scale or 1) for v in values}
'''


def test_function_annotated_with_generics_is_recorded(settings, tmp_path,
                                                      monkeypatch):
    pytest.importorskip("tarnwick_collector.data_collection.marrowick")
    root = tmp_path / "annotated"
    root.mkdir()
    (root / "twmod_annotated.py").write_text(textwrap.dedent(ANNOTATED))
    monkeypatch.syspath_prepend(str(root))
    importlib.invalidate_caches()
    tarnwick_collector.start(project_path=str(root))
    try:
        import twmod_annotated
        assert twmod_annotated.collect([1, 2], scale=3) == {"1": 3, "2": 6}
        assert twmod_annotated.collect([4]) == {"4": 4}
    finally:
        tarnwick_collector.stop()
        sys.modules.pop("twmod_annotated", None)
    ser = settings.serializer
    records = [ser.deserialize(m) for m in settings.data_subprocess.messages]
    assert [r.function_metadata.full_name for r in records] == [
        "twmod_annotated.collect"] * 2
    assert [ser.deserialize(r.return_value) for r in records] == [
        {"1": 3, "2": 6}, {"4": 4}]
    kinds = [type(ser.deserialize(m)).__name__
             for m in settings.metrics_subprocess.messages]
    assert "Unpicklable" not in kinds
