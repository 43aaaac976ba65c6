"""The parts of the command line's argument parsing that every command
shares: the one-line error (:class:`CliError`), a parser that raises it,
and the value types of the options."""
import argparse
from typing import Callable, Tuple

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


def _rate(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"must be between 0 and 1, got {text}")
    return value


def _nonempty(text: str) -> str:
    if not text.strip():
        raise argparse.ArgumentTypeError("must not be empty")
    return text


def _redact_patterns(text: str) -> Tuple[str, ...]:
    from tarnwick_common.redaction import normalize_patterns

    try:
        return normalize_patterns([p for p in text.split(",") if p.strip()]
                                  or [text])
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _trusted_name(text: str) -> str:
    from tarnwick_collector.data_serialization.trusted import validate_names

    try:
        names = validate_names([text])
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None
    if not names:
        raise argparse.ArgumentTypeError("must not be empty")
    return names[0]
