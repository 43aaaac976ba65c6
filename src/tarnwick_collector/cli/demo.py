"""``tarnwick demo``: record the example application of the source
checkout and summarise the recording (a few calls in full, the metrics)."""
import os
import shutil
import subprocess
import sys
from typing import Any, Callable, List, Sequence, Tuple

from tarnwick_collector.cli.parser import PROG, CliError, _Parser
from tarnwick_collector.cli.reading import _print_stats, _stats_data
from tarnwick_collector.store import sqlite_store
from tarnwick_collector.store.sqlite_store import StoreError


def _examples_dir() -> Tuple[str, bool]:
    """Where the example application is, and whether that is a source
    checkout (True) or the copy an installed package carries in ``_demo``."""
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    checkout = os.path.join(os.path.dirname(os.path.dirname(here)), "examples")
    shipped = os.path.join(here, "_demo")
    if os.path.isfile(os.path.join(checkout, DEMO_SCRIPT)):
        return checkout, True
    if os.path.isfile(os.path.join(shipped, DEMO_SCRIPT)):
        return shipped, False
    return checkout, True


DEMO_SCRIPT = "run_shop.py"


def cmd_demo(argv: Sequence[str]) -> int:
    from tarnwick_collector.store.render import RecordView, render_summary_line, render_text

    p = _Parser(prog=f"{PROG} demo",
                description="Record the example application and summarise the recording.")
    p.add_argument("--store", metavar="PATH",
                   help="where to keep the demo recording "
                        "(default: .tarnwick/demo.sqlite3 in the source checkout, "
                        "or in the working directory for an installed package)")
    opts = p.parse_args(argv)
    examples, in_checkout = _examples_dir()
    script = os.path.join(examples, DEMO_SCRIPT)
    if not os.path.isfile(script):
        raise CliError(f"the example application is not here ({script}); "
                       "reinstall the package or run from a source checkout")
    # An installed package keeps its recording in the working directory,
    # never inside site-packages.
    root = os.path.dirname(examples) if in_checkout else os.getcwd()
    store = os.path.abspath(opts.store) if opts.store else os.path.join(
        root, sqlite_store.STORE_DIR, "demo.sqlite3")
    if os.path.exists(store):
        try:
            sqlite_store.check_store_writable(store)
        except StoreError as exc:
            raise CliError(str(exc)) from None
        for suffix in ("", "-journal", ".log"):
            if os.path.exists(store + suffix):
                os.remove(store + suffix)

    out = sys.stdout
    out.write(f"[1/4] Recording the example application ({os.path.relpath(script)})\n")
    out.write("----- its own output " + "-" * 40 + "\n")
    out.flush()
    cmd = [sys.executable, "-m", "tarnwick_collector", "record", "--quiet",
           "--project-root", examples, "--store", store, script]
    env = dict(os.environ)
    package_root = os.path.dirname(os.path.dirname(os.path.dirname(
        os.path.abspath(__file__))))
    env["PYTHONPATH"] = package_root + (os.pathsep + env["PYTHONPATH"]
                                        if env.get("PYTHONPATH") else "")
    status = subprocess.call(cmd, cwd=examples, env=env)
    out.write("-" * 61 + "\n")
    if status != 0:
        raise CliError(f"recording the example application failed (exit status {status})")

    try:
        conn = sqlite_store.open_for_reading(store)
        session = sqlite_store.resolve_runs(conn, "last")
        views = [RecordView.from_row(row)
                 for row in sqlite_store.iter_data_rows(conn, session)]
        stats = _stats_data(conn, session, top=5)
    except StoreError as exc:
        raise CliError(str(exc)) from None
    conn.close()

    out.write(f"\n[2/4] {len(views)} calls were recorded, in the order they ended:\n")
    for view in views:
        out.write("  " + render_summary_line(view) + "\n")

    out.write("\n      A few of them in full:\n")
    for view in _demo_highlights(views):
        out.write("\n" + "\n".join("  " + line for line in render_text(view)) + "\n")

    out.write("\n[3/4] What the metrics say:\n")
    buf = _Lines()
    _print_stats(stats, buf)
    out.write("".join("  " + line + "\n" for line in buf.text().splitlines()))
    from tarnwick_collector.testgen.demo import generate_and_run

    tests_dir = os.path.join(os.path.dirname(store), "demo-tests")
    out.write(f"\n[4/4] Regression tests generated from the recording "
              f"({os.path.relpath(tests_dir)}):\n")
    if generate_and_run(store, examples, tests_dir, out) != 0:
        raise CliError("the tests generated from the demo recording failed")
    rel = os.path.relpath(store)
    command = PROG if shutil.which(PROG) else "python -m tarnwick_collector"
    pad = " " * len("Explore further: ")
    out.write(f"\nExplore further: {command} show --store {rel} [--function NAME] [--json]\n"
              f"{pad}{command} stats --store {rel}\n"
              f"{pad}{command} generate-tests --store {rel} --project-root "
              f"{os.path.relpath(examples)} --out DIR\n")
    return 0


class _Lines:
    def __init__(self) -> None:
        self._parts: List[str] = []

    def write(self, text: str) -> None:
        self._parts.append(text)

    def text(self) -> str:
        return "".join(self._parts)


def _demo_highlights(views: List[Any]) -> List[Any]:
    """One call with external calls, one that raised, one that read
    attributes of a global object, one whose arguments changed."""
    from tarnwick_collector.store.decoding import StandIn
    from tarnwick_collector.store.render import render_text

    picks: List[Any] = []

    def pick(pred: Callable[[Any], bool]) -> None:
        for view in views:
            if view not in picks and pred(view):
                picks.append(view)
                return

    def reads_an_object(view: Any) -> bool:
        # A global object of which the call used some attributes.
        return any(isinstance(value, StandIn)
                   and value.tw_full_name.endswith(".wrap_object")
                   for _, value in view.used_globals())

    def changes_its_arguments(view: Any) -> bool:
        lines = render_text(view)
        return (len(lines) > 2 and lines[2].startswith("  arguments after:")
                and "(unchanged)" not in lines[2])

    pick(lambda v: len(v.external_calls) >= 2)
    pick(lambda v: v.raised is not None)
    pick(reads_an_object)
    pick(changes_its_arguments)
    return picks
