"""The texts every view of the store is made of: how much of a value is
shown (:class:`Limits`), ints too long for decimal text, and texts from the
store escaped for a terminal and for JSON."""
from dataclasses import dataclass
from typing import Any, Tuple

_NONE_TYPE = type(None)


@dataclass
class Limits:
    """How much of a value is shown."""

    depth: int = 4
    items: int = 8
    string: int = 80
    width: int = 240  # 0: no limit


class _Undecodable:
    def __init__(self, reason: str) -> None:
        self.reason = reason


# Above this many bits the number of decimal digits of an int is estimated
# from its bit length instead of counted (counting takes a power of ten of
# the same size).
_EXACT_DIGITS_BITS = 1_000_000




def _decimal_digits(n: int) -> Tuple[int, bool]:
    """The number of decimal digits of ``abs(n)``, and whether it is exact.

    Works without converting ``n`` to text, which the interpreter refuses
    for ints of more than a few thousand digits."""
    n = abs(n)
    if n < 10:
        return 1, True
    estimate = int(n.bit_length() * 0.30102999566398120) + 1
    if n.bit_length() > _EXACT_DIGITS_BITS:
        return estimate, False
    digits = estimate
    while digits > 1 and 10 ** (digits - 1) > n:
        digits -= 1
    while 10 ** digits <= n:
        digits += 1
    return digits, True


def int_text(n: int) -> str:
    """``repr(n)``, or for an int too long to be converted to decimal text
    (``sys.get_int_max_str_digits()``), ``<int with N digits>``."""
    try:
        return repr(n)
    except ValueError:
        digits, exact = _decimal_digits(n)
        sign = "negative " if n < 0 else ""
        about = "" if exact else "about "
        return f"<{sign}int with {about}{digits} digits>"


def _first_line(text: str, limit: int = 80) -> str:
    line = text.strip().splitlines()[0] if text.strip() else ""
    return line if len(line) <= limit else line[: limit - 3] + "..."


def safe_text(text: Any) -> str:
    """A text from the store (a name, a reason, a run id) as it may be shown
    on a terminal: characters that are not printable (control characters,
    escape sequences, direction overrides) are written as the escapes
    ``repr()`` writes for them in values. Bytes (from a damaged store) are
    read as UTF-8 the same way; anything else is shown by ``str()``."""
    if not isinstance(text, str):
        if isinstance(text, (bytes, bytearray, memoryview)):
            text = bytes(text).decode("utf-8", "backslashreplace")
        else:
            try:
                text = int_text(text) if isinstance(text, int) else str(text)
            except Exception:
                text = f"<{type(text).__name__}>"
    if text.isprintable():
        return text
    return "".join(ch if ch.isprintable() else repr(ch)[1:-1] for ch in text)


def json_ready(value: Any) -> Any:
    """``value`` (dicts, lists, texts and numbers read from the store) made
    safe to write as JSON and to show: every text escaped as by
    :func:`safe_text`, bytes and other types turned into such texts, and
    numbers JSON cannot write (infinities, NaN) written as texts."""
    if value is None or isinstance(value, bool):
        return value
    if isinstance(value, int):
        return value if abs(value) < 1 << 63 else safe_text(value)
    if isinstance(value, float):
        return value if value == value and abs(value) != float("inf") else repr(value)
    if isinstance(value, dict):
        return {safe_text(k): json_ready(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [json_ready(v) for v in value]
    return safe_text(value)
