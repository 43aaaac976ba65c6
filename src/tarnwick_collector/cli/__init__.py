"""The ``tarnwick`` command line.

- ``tarnwick record [options] SCRIPT [ARGS...]`` and
  ``tarnwick record [options] -m MODULE [ARGS...]`` run a program under
  recording; its calls go to the record store.
- ``tarnwick show`` prints the recorded calls, ``tarnwick stats`` the metric
  counters and what went wrong, ``tarnwick demo`` records the example
  application and summarises what was recorded.

Errors are one line on standard error and a non-zero exit status (2 for bad
usage, 1 for everything else). ``show`` and ``stats`` open the store
read-only and never run anything a record names.

The package's modules, one concern each:

- ``entry``: :func:`main`, the command table and the overall usage;
- ``parser``: :class:`CliError`, the one-line-error parser and the option
  value types;
- ``output``: where the command line's own lines go (standard error as
  ``record`` found it, progress, a reader that went away);
- ``running``: running the program as ``python SCRIPT`` or
  ``python -m MODULE`` would, and what the interpreter does at exit;
- ``record``: ``tarnwick record``, starting and stopping the recording;
- ``reading``: ``tarnwick show`` and ``tarnwick stats``;
- ``demo``: ``tarnwick demo``.
"""
from tarnwick_collector.cli.demo import DEMO_SCRIPT, cmd_demo
from tarnwick_collector.cli.entry import main
from tarnwick_collector.cli.output import Progress
from tarnwick_collector.cli.parser import PROG, CliError
from tarnwick_collector.cli.reading import cmd_show, cmd_stats
from tarnwick_collector.cli.record import cmd_record
from tarnwick_collector.cli.running import ProgramInterrupted

__all__ = [
    "PROG", "CliError", "Progress", "ProgramInterrupted", "DEMO_SCRIPT",
    "cmd_record", "cmd_show", "cmd_stats", "cmd_demo", "main",
]
