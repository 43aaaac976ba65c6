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


@pytest.mark.parametrize("module", [b"pathlib", b"pathlib._local"])
def test_paths_pickled_by_any_version_read_back_alike(module):
    # 3.13 pickles paths under pathlib._local, earlier versions under
    # pathlib: a store written by either reads back the same everywhere.
    name = b"PurePosixPath"
    data = (b"\x80\x04" + b"\x8c" + bytes([len(module)]) + module + b"\x8c"
            + bytes([len(name)]) + name + b"\x93\x8c\x04/a/b\x85R.")
    value = safe_loads(data)
    assert repr(value) == "PurePosixPath('/a/b')"
