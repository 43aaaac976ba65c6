"""Runs one program of the behaviour suite, plain or recorded.

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
import json
import os
import sys


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
        from tarnwick_collector.tracer import _trampolines, current_project

        project_obj = current_project()
        stats = {
            "instrumented": sorted(project_obj.modules) if project_obj else [],
            "contained_failures": _trampolines.contained_failures(),
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

    atexit.register(report)
    __import__(module)


if __name__ == "__main__":
    main()
