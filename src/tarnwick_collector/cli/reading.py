"""``tarnwick show`` and ``tarnwick stats``: reading a store (read-only,
never running anything a record names) and printing its calls, counters,
failure reasons and delivery."""
import argparse
import json
import os
import sys
from typing import Any, Dict, List, Optional, Sequence, Tuple

from tarnwick_collector.cli.output import PROGRESS_DELAY, Progress, _err, _quiet_broken_pipe
from tarnwick_collector.cli.parser import (
    PROG,
    CliError,
    _int_at_least,
    _Parser,
    resolve_settings,
)
from tarnwick_collector.configs import project_config
from tarnwick_collector.store import location, sqlite_store
from tarnwick_collector.store.sqlite_store import StoreError

#: What the help of ``--function`` says, in every command that takes it.
FUNCTION_HELP = ("only calls of these functions: a full name, or dotted parts of "
                 "one (a module, a class, Cart.total), or a pattern with * and ?")


def _reader_parser(name: str, description: str) -> _Parser:
    p = _Parser(prog=f"{PROG} {name}", description=description)
    project_config.add_options(p, name)
    p.add_argument("--run", "--session", dest="run", metavar="ID",
                   help="which recording: a run id (or its start), 'last' "
                        "(default: the latest recording, with the runs of the "
                        "processes it forked) or 'all'")
    p.add_argument("--json", action="store_true", help="print JSON")
    p.add_argument("--quiet", "-q", action="store_true",
                   help="no progress on standard error")
    return p


def _progress(opts: argparse.Namespace) -> Progress:
    """Progress of a long read: on a terminal's standard error only."""
    return Progress(enabled=not opts.quiet and _stderr_is_terminal(), delay=PROGRESS_DELAY)


def _stderr_is_terminal() -> bool:
    try:
        return bool(sys.stderr.isatty())
    except (AttributeError, ValueError, OSError):
        return False


def _describe_runs(selection: Any, runs: List[str]) -> str:
    """The runs read, for messages: "run ID", with the forked ones."""
    if selection is None:
        return "all runs"
    from tarnwick_collector.store.render import safe_text

    if isinstance(selection, sqlite_store.Recording):
        forks = len(runs) - 1
        return f"run {safe_text(selection.root)}" + (
            f" and {forks} run(s) of processes it forked" if forks > 0 else "")
    return f"run {safe_text(selection)}"


def _open_store(opts: argparse.Namespace, command: str) -> Tuple[Any, Any, str]:
    resolve_settings(opts, command)
    path = opts.store or sqlite_store.default_store_path(opts.project_root)
    try:
        conn = location.backend(path).open_for_reading(path)
        session = sqlite_store.resolve_runs(conn, opts.run)
    except StoreError as exc:
        raise CliError(str(exc)) from None
    except Exception as exc:  # a damaged file fails in many ways
        raise CliError(location.redact(f"cannot read store {path}: {exc}")) from None
    return conn, session, location.redact(path) if location.is_url(path) else path


def _shown_record(row: Sequence[Any], as_json: bool, limits: Any,
                  show_run: bool = False) -> Tuple[str, Optional[str]]:
    """The text of one stored call, and for JSON the same in plain ASCII
    (for an output that cannot encode the first). A record that cannot be
    shown at all is shown by its stored columns and the reason."""
    from tarnwick_collector.store.json_values import escape_unprintable
    from tarnwick_collector.store.render import RecordView, render_text, to_json

    def shown(view: Any) -> Any:
        if as_json:
            return to_json(view, limits)
        return render_text(view, limits, show_run=show_run)

    try:
        result = shown(RecordView.from_row(row))
    except Exception as exc:
        result = shown(RecordView.unshowable(row, exc))
    if as_json:
        return (escape_unprintable(json.dumps(result, ensure_ascii=False)),
                json.dumps(result))
    return "\n".join(result) + "\n", None


def _write(out: Any, text: str, fallback: Optional[str] = None) -> None:
    """Write ``text``; characters the output cannot encode (lone surrogates
    of undecodable file names, or anything beyond an ASCII terminal) are
    written as escapes instead of failing the whole output."""
    try:
        out.write(text)
    except UnicodeEncodeError:
        if fallback is None:
            encoding = getattr(out, "encoding", None) or "utf-8"
            fallback = text.encode(encoding, "backslashreplace").decode(encoding)
        out.write(fallback)


def cmd_show(argv: Sequence[str]) -> int:
    from tarnwick_collector.store.render import Limits

    p = _reader_parser("show", "Print the recorded calls.")
    p.add_argument("--function", metavar="NAME", help=FUNCTION_HELP)
    p.add_argument("--limit", type=_int_at_least(1), metavar="N",
                   help="print at most N calls")
    p.add_argument("--width", type=_int_at_least(0), default=240, metavar="N",
                   help="longest value shown, in characters (0: no limit); in JSON, "
                        "the longest text of a value that is not a JSON value")
    opts = p.parse_args(argv)
    conn, session, path = _open_store(opts, "show")
    if opts.json:
        limits = Limits(width=opts.width)
    else:
        limits = Limits(width=opts.width,
                        string=max(80, opts.width // 3) if opts.width else 0)
    out = sys.stdout
    progress = _progress(opts)
    count = 0
    array_open = False
    runs: List[str] = []
    try:
        runs = sqlite_store.selected_runs(conn, session)
        # One more than asked for tells whether the limit left calls out.
        ids = sqlite_store.select_data_ids(
            conn, session, opts.function, None if opts.limit is None else opts.limit + 1)
        more = opts.limit is not None and len(ids) > opts.limit
        if more:
            ids = ids[: opts.limit]
        if opts.json:
            out.write(_json_head(runs, opts, more))
            array_open = True
        # Written to a terminal that also shows the progress, the progress
        # line is taken away before each call and drawn again after it.
        shared = progress.enabled and _isatty(out)
        for row in sqlite_store.iter_data_rows_by_id(conn, ids):
            # Calls of other runs than the one asked for (those of forked
            # processes, or of every run) say which run they belong to.
            other_run = len(runs) > 1 and (
                not isinstance(session, sqlite_store.Recording) or row[1] != session.root)
            text, fallback = _shown_record(row, opts.json, limits, other_run)
            if shared:
                progress.clear()
            if opts.json:
                sep = "\n" if count == 0 else ",\n"
                _write(out, sep + text, fallback and sep + fallback)
            else:
                _write(out, ("\n" if count else "") + text)
            count += 1
            if shared:
                out.flush()
            progress.update(f"reading calls: {count} of {len(ids)}")
        progress.done()
        if opts.json:
            array_open = False
            out.write("\n]}\n" if count else "]}\n")
    except CliError:
        raise
    except BrokenPipeError:
        progress.done()
        _quiet_broken_pipe()
        return 0
    except Exception as exc:
        progress.done()
        if array_open:  # what was printed stays a complete JSON document
            try:
                out.write("\n]}\n" if count else "]}\n")
                out.flush()
            except Exception:
                pass
        raise CliError(f"cannot read store {path}: {exc}") from None
    finally:
        conn.close()
    if count == 0 and not opts.json:
        what = f" of {opts.function}" if opts.function else ""
        _err(f"{PROG}: no recorded calls{what} in {os.path.relpath(path)}"
             + ("" if session is None else f" ({_describe_runs(session, runs)})"))
    return 0


def _isatty(stream: Any) -> bool:
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError, OSError):
        return False


def _json_head(runs: List[str], opts: argparse.Namespace, more: bool) -> str:
    """The start of ``show --json``'s document, up to its array of calls."""
    from tarnwick_collector.store.json_values import SCHEMA_VERSION
    from tarnwick_collector.store.render import json_ready

    head = json.dumps(json_ready({
        "schema": SCHEMA_VERSION,
        "runs": runs,
        "function": opts.function,
        "limit": opts.limit,
        "more": more,
    }))
    return head[:-1] + ', "calls": ['


def _stats_data(conn: Any, session: Any, function: Optional[str] = None,
                top: Optional[int] = None, progress: Optional[Progress] = None
                ) -> Dict[str, Any]:
    """What ``stats`` shows, every text escaped for showing (see
    ``render.json_ready``): the functions and external functions seen most,
    ``top`` of each (all without it), with how many were left out."""
    from tarnwick_collector.store.json_values import SCHEMA_VERSION
    from tarnwick_collector.store.render import json_ready

    def step(text: str) -> None:
        if progress is not None:
            progress.update(text)

    sessions = sqlite_store.list_sessions(conn)
    if session is None:
        run = "all"
    elif isinstance(session, sqlite_store.Recording):
        run = session.root
    else:
        run = session
    step("counting calls by function")
    functions = sqlite_store.function_counts(conn, session)
    if function:
        matches = sqlite_store.function_matcher(function)
        functions = [item for item in functions if matches(item[0])]
        recorded = sum(c for _, c, _ in functions)
    else:
        recorded = sqlite_store.count_data_rows(conn, session)
    step("counting metrics")
    counters = sqlite_store.metric_counts(conn, session)
    step("reading collection failures")
    failures = sqlite_store.failure_reasons(conn, session)
    step("reading external functions")
    external = sqlite_store.external_function_counts(conn, session, limit=None)
    step("reading delivery")
    channels = sqlite_store.channel_runs(conn, session)
    return json_ready({
        "schema": SCHEMA_VERSION,
        "run": run,
        "runs": sqlite_store.selected_runs(conn, session),
        "runs_in_store": len(sessions),
        "function": function,
        "recorded_calls": recorded,
        "counters": [
            {"counter": c, "metric": k, "count": n} for c, k, n in counters
        ],
        "failures": [
            {"metric": k, "reason": r, "count": n} for k, r, n in failures
        ],
        "recording_ended": [
            {"function": f, "type": t, "calls_lost": n}
            for f, t, n in sqlite_store.recording_ended(conn, session)
        ],
        "functions": [
            {"function": f, "calls": c, "bytes": b} for f, c, b in functions[:top]
        ],
        "functions_left_out": max(0, len(functions) - top) if top is not None else 0,
        "external_functions": [
            {"function": f, "count": n} for f, n in external[:top]
        ],
        "external_functions_left_out": max(0, len(external) - top) if top is not None else 0,
        "channels": channels,
        "processes": sqlite_store.process_counts(conn, session),
    })


def _print_stats(stats: Dict[str, Any], out: Any) -> None:
    run = stats["run"]
    several = len(stats["runs"]) > 1
    forks = "" if run == "all" or not several else \
        f" and {len(stats['runs']) - 1} run(s) of processes it forked"
    out.write(f"Run: {run}{forks}   ({stats['runs_in_store']} run(s) in the store)\n")
    out.write(f"Recorded calls: {stats['recorded_calls']}\n")
    totals: Dict[str, int] = {}
    for item in stats["counters"]:
        totals[item["counter"]] = totals.get(item["counter"], 0) + item["count"]
    out.write("\nMetric counters:\n")
    if not totals:
        out.write("  (none)\n")
    for counter, n in sorted(totals.items(), key=lambda kv: (-kv[1], kv[0])):
        kinds = [f"{i['metric']} {i['count']}" for i in stats["counters"]
                 if i["counter"] == counter]
        detail = f"   ({', '.join(kinds)})" if len(kinds) > 1 else ""
        out.write(f"  {counter:<34} {n:>7}{detail}\n")
    out.write("\nCollection failures by reason:\n")
    if not stats["failures"]:
        out.write("  (none)\n")
    for item in stats["failures"]:
        out.write(f"  {item['count']:>7}  {item['metric']}: {item['reason']}\n")
    if stats["recording_ended"]:
        out.write("\nFunctions whose recording ended (calls lost, function: "
                  "the type that ended it):\n")
        for item in stats["recording_ended"]:
            out.write(f"  {item['calls_lost']:>7}  {item['function']}: {item['type']}\n")
    if stats["functions"]:
        out.write("\nRecorded calls by function:\n")
        for item in stats["functions"]:
            out.write(f"  {item['calls']:>7}  {item['function']}\n")
        _left_out(out, stats["functions_left_out"], "functions")
    if stats["external_functions"]:
        out.write("\nExternal functions seen most:\n")
        for item in stats["external_functions"]:
            out.write(f"  {item['count']:>7}  {item['function']}\n")
        _left_out(out, stats["external_functions_left_out"], "external functions")
    if stats["channels"]:
        out.write("\nDelivery:\n")
        for ch in stats["channels"]:
            if ch.get("reported") is False:
                # A process that never reported what it sent (still
                # running, or ended without a summary).
                out.write(f"  {ch['channel']:<8} run {ch['session']}: ended without "
                          f"its report; {ch['stored']} messages stored, how many "
                          f"were lost is unknown\n")
                continue
            counts = (ch["sent"], ch["stored"])
            # A count that is not a number (a damaged store) is shown as found.
            missing = counts[0] - counts[1] if all(
                isinstance(n, int) for n in counts) else 0
            text = f"  {ch['channel']:<8} {ch['stored']} of {ch['sent']} messages stored"
            parts = []
            if ch["dropped_full"]:
                parts.append(f"{ch['dropped_full']} dropped (buffer full)")
            if ch["dropped_down"]:
                parts.append(f"{ch['dropped_down']} dropped (subprocess down)")
            if ch["lost"]:
                parts.append(f"{ch['lost']} lost in transit")
            if ch["restarts"]:
                parts.append(f"{ch['restarts']} restart(s)")
            if ch["note"]:
                parts.append(ch["note"])
            if parts or missing:
                text += " — " + "; ".join(parts or [f"{missing} missing"])
            if several:
                text += f"   [run {ch['session']}]"
            out.write(text + "\n")


    if len(stats["processes"]) > 1:
        out.write("\nRuns by host and process:\n")
        for item in stats["processes"]:
            host = item["host"] if item["host"] is not None else "(host not recorded)"
            out.write(f"  {item['calls']:>7}  calls in {item['runs']} run(s) on {host}, "
                      f"process {item['pid']}\n")


def _left_out(out: Any, n: int, what: str) -> None:
    if n:
        out.write(f"  ... and {n} more {what} (--all shows every one)\n")


#: How many functions and external functions the text of ``stats`` lists.
STATS_TOP = 10


def cmd_stats(argv: Sequence[str]) -> int:
    p = _reader_parser("stats", "Print the metric counters and failure reasons.")
    p.add_argument("--function", metavar="NAME", help=FUNCTION_HELP)
    shown = p.add_mutually_exclusive_group()
    shown.add_argument("--all", action="store_true",
                       help="list every function and external function (the JSON "
                            "output always does, unless --top is given)")
    shown.add_argument("--top", type=_int_at_least(1), metavar="N",
                       help=f"list the N functions and external functions seen most "
                            f"(default in text: {STATS_TOP})")
    opts = p.parse_args(argv)
    conn, session, path = _open_store(opts, "stats")
    top = opts.top if opts.top is not None else (
        None if opts.all or opts.json else STATS_TOP)
    progress = _progress(opts)
    try:
        stats = _stats_data(conn, session, opts.function, top, progress)
    except Exception as exc:
        raise CliError(f"cannot read store {path}: {exc}") from None
    finally:
        progress.done()
        conn.close()
    try:
        if opts.json:
            sys.stdout.write(json.dumps(stats, indent=2) + "\n")
        else:
            _print_stats(stats, sys.stdout)
        sys.stdout.flush()
    except BrokenPipeError:
        _quiet_broken_pipe()
    return 0
