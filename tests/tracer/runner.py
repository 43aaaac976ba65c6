"""Runs one program of the behaviour suite as ``__main__``, plain or
recorded (the command line runs a project's script the same way).

    python runner.py MODE PROJECT_DIR MODULE [STATS_FILE]

MODE is ``plain`` (no tracer), ``fake`` (instrumented, a core that records
every call), ``failing`` (instrumented, a core whose every entry raises),
``refusing`` (instrumented, a core that raises when a call starts),
``off`` (instrumented, recording stopped) or ``real`` (the package's
``start()`` with the real recording core). In the recorded modes the
number of reports the tracer made is written to STATS_FILE as JSON, so the
test can tell that the program really ran instrumented.
"""
import atexit
import builtins
import json
import os
import sys
import types


def load(path: str, instrumented: bool):
    """The code of the file ``path`` and whether it is instrumented."""
    with open(path, "rb") as fh:
        source = fh.read()
    if instrumented:
        from tarnwick_collector.tracer import compile_module

        return compile_module(source, path)
    return compile(source, path, "exec", dont_inherit=True), False


def execute(code, path: str) -> None:
    """Run ``code`` as ``__main__``."""
    main = types.ModuleType("__main__")
    main.__dict__.update(__file__=path, __builtins__=builtins)
    sys.modules["__main__"] = main
    exec(code, main.__dict__)  # the same line in every mode


def main() -> None:
    mode, project, module = sys.argv[1:4]
    stats_file = sys.argv[4] if len(sys.argv) > 4 else None
    sys.path.insert(0, project)
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    core = None
    if mode in ("fake", "failing", "refusing", "off"):
        import fakecore
        import tarnwick_collector.tracer as tracer

        if mode == "failing":
            core = fakecore.FailingCore(accept_calls=True)
        elif mode == "refusing":
            core = fakecore.FailingCore()
        else:
            core = fakecore.CountingCore()
        tracer.install(project, core)
        if mode == "off":
            tracer._trampolines.disable()
    elif mode == "real":
        import tarnwick_collector

        tarnwick_collector.start(project_path=project)
    elif mode != "plain":
        raise SystemExit(f"unknown mode {mode}")

    def report() -> None:
        if stats_file is None:
            return
        from tarnwick_collector.tracer import _trampolines

        stats = {
            "instrumented": ran_instrumented,
            "contained_failures": _trampolines.contained_failures(),
            "stack_depth": _trampolines.stack_depth(),
        }
        if isinstance(core, fakecore_types()):
            stats["counts"] = getattr(core, "counts", {})
            stats["open"] = getattr(core, "open", 0)
            stats["calls"] = getattr(core, "calls", 0)
        if mode == "real":
            from tarnwick_collector.configs.collector_settings import (
                CollectorSettings,
            )

            stats["data_messages"] = len(
                getattr(CollectorSettings.data_subprocess, "messages", []))
            stats["metric_messages"] = len(
                getattr(CollectorSettings.metrics_subprocess, "messages", []))
        with open(stats_file, "w") as fh:
            json.dump(stats, fh)

    def fakecore_types():
        import fakecore

        return (fakecore.FakeCore,)

    ran_instrumented = []
    atexit.register(report)
    path = os.path.join(project, module + ".py")
    code, instrumented = load(path, mode != "plain")
    ran_instrumented.append(instrumented)
    execute(code, path)


if __name__ == "__main__":
    main()
