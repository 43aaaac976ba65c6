"""What a project module's body shows of the import system while it is
imported instrumented: the same as when it is imported plainly. Tracebacks
of exceptions raised at import leave the import machinery out, warnings
with a stack level point at the importing line, and a stack read from the
module body ends the same way."""
import subprocess
import sys
import textwrap

import pytest

HERE = __file__.rsplit("/", 1)[0]

MODULES = {
    "broken.py": """
        VALUE = 1
        raise RuntimeError("broken at import")
    """,
    "missing.py": """
        import twmod_not_there_at_all
    """,
    "pkg/__init__.py": """
        from .inner import NAME
    """,
    "pkg/inner.py": """
        NAME = {}["missing key"]
    """,
    "oldapi.py": """
        import warnings
        warnings.warn("oldapi is deprecated", DeprecationWarning, stacklevel=2)
    """,
    "badsyntax.py": """
        def broken(:
            pass
    """,
    "stacky.py": """
        import traceback
        STACK = [(f.name, f.line) for f in traceback.extract_stack()][-4:]
    """,
}

# Each program imports one module the way an application would.
PROGRAMS = {
    "exception": "import broken\n",
    "import_error": "import missing\n",
    "package": "from pkg import NAME\n",
    "warning": ("import warnings\nwarnings.simplefilter('always')\n"
                "import oldapi\nprint('imported')\n"),
    "stack": "import stacky\nprint(stacky.STACK[-3:])\n",
    "syntax_error": "import badsyntax\n",
}

RUN = """
import sys
sys.path.insert(0, {tests!r})
sys.path.insert(0, {root!r})
if {instrumented!r}:
    import fakecore
    from tarnwick_collector import tracer
    tracer.install({root!r}, fakecore.CountingCore())
sys.argv = [{main!r}]
code = compile(open({main!r}).read(), {main!r}, "exec")
exec(code, {{"__name__": "__main__", "__file__": {main!r}}})
"""


@pytest.fixture
def project(tmp_path):
    for relpath, source in MODULES.items():
        path = tmp_path / relpath
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(source))
    return tmp_path


def run(project, program, instrumented):
    main = project / "main.py"
    main.write_text(PROGRAMS[program])
    script = RUN.format(tests=HERE, root=str(project), main=str(main),
                        instrumented=instrumented)
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True,
                          text=True, cwd=str(project), timeout=60)
    return proc.returncode, proc.stdout, proc.stderr


@pytest.mark.parametrize("program", sorted(PROGRAMS))
def test_import_shows_the_same_frames_instrumented(project, program):
    plain = run(project, program, False)
    recorded = run(project, program, True)
    assert recorded == plain
    assert "hook.py" not in recorded[2] and "importlib" not in recorded[2]
    if program == "warning":
        assert "main.py:3: DeprecationWarning" in recorded[2]
    elif program not in ("stack",):
        assert "Traceback" in recorded[2]
