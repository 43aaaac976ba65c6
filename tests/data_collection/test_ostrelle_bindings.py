"""The metadata cache and callables bound afresh at each attribute access."""
import gc
import io
import weakref

import pytest

from tarnwick_collector.data_collection.ostrelle import Ostrelle

extract = Ostrelle.extract_function_metadata


@pytest.mark.parametrize(
    "bind",
    [
        lambda buf: buf.write,          # builtin method bound to a file object
        lambda buf: buf.__enter__,      # inherited builtin method
        lambda buf: buf.__sizeof__,     # bound to an instance of a C type
    ],
)
@pytest.mark.parametrize("is_external_call", [True, False])
def test_bound_builtin_methods_do_not_keep_their_receiver_alive(
    settings, bind, is_external_call
):
    buf = io.BytesIO()
    alive = weakref.ref(buf)
    extract(bind(buf), is_external_call)
    del buf
    gc.collect()
    assert alive() is None


def test_classes_inheriting_an_initializer_do_not_grow_the_cache(settings):
    import sys

    class Base:
        def __init__(self):
            pass

    class Child(Base):
        pass

    # Child unwraps to type.__init__ bound to Child, a new object each time;
    # stored entries would each hold one more reference to Child.
    extract(Child, True)
    before = sys.getrefcount(Child)
    for _ in range(10):
        extract(Child, True)
    assert sys.getrefcount(Child) == before


@pytest.mark.parametrize("func", [len, io.open, Ostrelle])
def test_stable_callables_are_still_cached(settings, func):
    stored = extract(func, True)
    assert extract(func, True, True) is stored


def test_cached_functions_are_let_go_at_exit_so_their_globals_finalize(tmp_path):
    # The globals of a function belong to no module here, so only the cache
    # keeps them alive: without the release at exit, Noisy is never
    # finalized (as a file with buffered data would never be flushed).
    import subprocess
    import sys
    import textwrap

    code = textwrap.dedent(
        """
        from tarnwick_collector.data_collection.ostrelle import Ostrelle

        class Noisy:
            def __del__(self):
                print("finalized", flush=True)

        namespace = {"holder": Noisy()}
        exec("def f():\\n    return holder\\n", namespace)
        Ostrelle.extract_function_metadata(namespace["f"])
        del namespace
        print("end", flush=True)
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True,
                         text=True, cwd=tmp_path, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["end", "finalized"]
