"""Interned names of the shared native layer (TW_STR, TW_NAMES) when the
string cannot be made: every failed use raises, the first and every later
one, and a use after memory is back gives the name.

A small extension module built from the shared headers makes the names;
the allocator is made to fail with _testcapi, in a child process."""
import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

PROBE = r"""
#include "tw.hpp"

static PyObject *name(PyObject *, PyObject *)
{
    PyObject *s = TW_STR("tw_probe_name_made_once");
    return s == nullptr ? nullptr : Py_NewRef(s);
}

static PyObject *names(PyObject *, PyObject *)
{
    PyObject *t = TW_NAMES("tw_probe_first", "tw_probe_second");
    return t == nullptr ? nullptr : Py_NewRef(t);
}

static PyMethodDef defs[] = {{"name", name, METH_NOARGS, nullptr},
                             {"names", names, METH_NOARGS, nullptr},
                             {nullptr, nullptr, 0, nullptr}};
static PyModuleDef def = {PyModuleDef_HEAD_INIT, "tw_probe", nullptr, -1, defs,
                          nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit_tw_probe(void) { return PyModule_Create(&def); }
"""

CHILD = textwrap.dedent("""
    import sys, _testcapi
    sys.path.insert(0, sys.argv[1])
    import tw_probe
    seen = []
    for fn in (tw_probe.name, tw_probe.names):
        for _ in range(2):
            _testcapi.set_nomemory(0)
            try:
                fn()
            except BaseException as e:
                _testcapi.remove_mem_hooks()
                seen.append(type(e).__name__)
            else:
                _testcapi.remove_mem_hooks()
                seen.append("no failure")
        seen.append(fn())
    print(seen)
""")


@pytest.fixture(scope="module")
def probe_dir(tmp_path_factory):
    cxx = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")
    if cxx is None:
        pytest.skip("no C++ compiler")
    try:
        import _testcapi
    except ImportError:
        pytest.skip("no _testcapi")
    if not hasattr(_testcapi, "set_nomemory"):
        pytest.skip("_testcapi cannot make the allocator fail")
    d = tmp_path_factory.mktemp("tw_probe")
    src = d / "tw_probe.cpp"
    src.write_text(PROBE)
    target = d / ("tw_probe" + sysconfig.get_config_var("EXT_SUFFIX"))
    subprocess.run([cxx, "-shared", "-fPIC", "-std=c++17",
                    "-I", os.path.join(ROOT, "src", "native"),
                    "-I", sysconfig.get_paths()["include"],
                    "-o", str(target), str(src)], check=True)
    return d


def test_a_name_that_cannot_be_made_raises_at_every_use(probe_dir):
    out = subprocess.run([sys.executable, "-c", CHILD, str(probe_dir)],
                         capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == repr([
        "MemoryError", "MemoryError", "tw_probe_name_made_once",
        "MemoryError", "MemoryError", ("tw_probe_first", "tw_probe_second"),
    ])
