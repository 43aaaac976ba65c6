"""The parts of the command line's argument parsing that every command
shares: the one-line error (:class:`CliError`), a parser that raises it,
and the value types of the options."""
import argparse
from typing import Any, Callable, Tuple

PROG = "tarnwick"


class CliError(Exception):
    """A failure to report as one line; ``status`` is the exit status."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


class _Parser(argparse.ArgumentParser):
    """An argument parser whose errors are one line."""

    def error(self, message: str) -> "NoReturn":  # type: ignore[name-defined]  # noqa: F821
        raise CliError(f"{message} (see {self.prog} --help)", 2)


def _int_at_least(low: int) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(
                f"expected a whole number, got {text!r}") from None
        if value < low:
            raise argparse.ArgumentTypeError(f"must be at least {low}, got {value}")
        return value

    parse.__name__ = "number"
    return parse


def _redact_patterns(text: str) -> Tuple[str, ...]:
    from tarnwick_common.redaction import normalize_patterns

    try:
        return normalize_patterns([p for p in text.split(",") if p.strip()]
                                  or [text])
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def resolve_settings(opts: argparse.Namespace, command: str) -> Any:
    """Fill the settings of ``opts`` not given as options from the
    environment and the configuration file (see ``configs.project_config``);
    a bad setting is a usage error. Returns the file read, if any."""
    from tarnwick_collector.configs.project_config import ConfigError, resolve

    try:
        return resolve(opts, command)
    except ConfigError as exc:
        raise CliError(str(exc), 2) from None
