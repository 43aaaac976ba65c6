"""Paths of the recorded program read back as the paths they were, without
access to the file system."""
import pathlib
import pickle

import pytest

from tarnwick_collector.store import decoding
from tarnwick_collector.store.decoding import safe_loads
from tarnwick_collector.store.render import Limits, _Renderer


@pytest.mark.parametrize("path, shown", [
    (pathlib.Path("data/a.txt"), "PosixPath('data/a.txt')"),
    (pathlib.Path("/etc"), "PosixPath('/etc')"),
    (pathlib.PurePosixPath("/a/b"), "PurePosixPath('/a/b')"),
    (pathlib.PureWindowsPath("C:/x"), "PureWindowsPath('C:/x')"),
])
def test_paths_read_back_under_their_own_class_name(path, shown):
    value = safe_loads(pickle.dumps(path, protocol=4))
    assert repr(value) == shown
    assert _Renderer(Limits()).value(value) == shown
    # Pure: nothing of it touches the file system.
    assert not isinstance(value, pathlib.Path)
    assert not hasattr(value, "exists")
    assert value == (pathlib.PurePosixPath(path) if isinstance(path, pathlib.Path)
                     else path)
    # Derived paths keep the name; pickled again, they are plain pure paths.
    assert repr(value.parent).startswith(shown.split("(")[0] + "(")
    again = pickle.loads(pickle.dumps(value))
    assert type(again) in (pathlib.PurePosixPath, pathlib.PureWindowsPath)
    assert again == value


def test_a_windows_path_reads_back_as_one():
    cls = decoding._ALLOWED[("pathlib", "WindowsPath")]
    value = cls("C:/Users", "me")
    assert repr(value) == "WindowsPath('C:/Users/me')"
    assert value == pathlib.PureWindowsPath("C:/Users/me")
    assert not isinstance(value, pathlib.Path)
