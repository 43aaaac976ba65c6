"""The entry point: the command table, the overall usage, and turning a
command's failure into one line and an exit status."""
import sys
from typing import Optional, Sequence

from tarnwick_collector.cli.demo import cmd_demo
from tarnwick_collector.cli.output import _err, _quiet_broken_pipe
from tarnwick_collector.cli.parser import PROG, CliError
from tarnwick_collector.cli.reading import cmd_show, cmd_stats
from tarnwick_collector.cli.record import cmd_record
from tarnwick_collector.cli.running import ProgramInterrupted, _end_as_interrupted


def cmd_generate_tests(argv: Sequence[str]) -> int:
    from tarnwick_collector.testgen import command

    try:
        return command.run(argv, PROG)
    except command.UsageError as exc:
        raise CliError(str(exc), exc.status) from None


_COMMANDS = {
    "record": cmd_record,
    "show": cmd_show,
    "stats": cmd_stats,
    "demo": cmd_demo,
    "generate-tests": cmd_generate_tests,
}

_USAGE = f"""usage: {PROG} COMMAND [options]

Commands:
  record [options] SCRIPT [ARGS...]   run a program with its calls recorded
  record [options] -m MODULE [ARGS...]
  show [--function NAME] [--limit N] [--json]
                                      print the recorded calls
  stats [--all | --top N] [--json]    metric counters and failure reasons
  generate-tests [--out DIR]          write pytest tests from the recorded calls
  demo                                record the example application

Run "{PROG} COMMAND --help" for the options of a command. Options not given
come from the environment, then from [tool.tarnwick] in pyproject.toml.
"""


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line; returns the exit status. When a recorded
    program ended with an uncaught KeyboardInterrupt, a KeyboardInterrupt
    leaves this function instead (see :func:`_end_as_interrupted`)."""
    args = list(sys.argv[1:] if argv is None else argv)
    try:
        if not args or args[0] in ("-h", "--help", "help"):
            sys.stdout.write(_USAGE)
            sys.stdout.flush()
            return 0 if args else 2
        if args[0] == "--version":
            from tarnwick_collector import __version__
            sys.stdout.write(f"{PROG} {__version__}\n")
            sys.stdout.flush()
            return 0
    except BrokenPipeError:
        _quiet_broken_pipe()
        return 0 if args else 2
    command = _COMMANDS.get(args[0])
    try:
        if command is None:
            raise CliError(f"unknown command {args[0]!r} (commands: "
                           f"{', '.join(_COMMANDS)})", 2)
        return command(args[1:])
    except CliError as exc:
        _err(f"{PROG}: error: {exc}")
        return exc.status
    except ProgramInterrupted:
        _end_as_interrupted()
        return 130  # not reached
    except KeyboardInterrupt:
        _err(f"{PROG}: interrupted")
        return 130
