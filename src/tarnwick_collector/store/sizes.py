"""Sizes as users write them: ``500MB``, ``2G``, ``1.5GiB``, ``4096``."""
import re

_UNITS = {"": 1, "k": 1000, "m": 1000 ** 2, "g": 1000 ** 3, "t": 1000 ** 4,
          "ki": 1024, "mi": 1024 ** 2, "gi": 1024 ** 3, "ti": 1024 ** 4}
_SIZE = re.compile(r"\s*(\d+(?:\.\d+)?)\s*([kmgt]i?)?b?\s*", re.I)


def parse_size(text: str) -> int:
    """The number of bytes ``text`` stands for: a number with an optional
    unit K, M, G or T (powers of 1000; KiB, MiB... powers of 1024), the
    trailing B optional. Raises ValueError for anything else or zero."""
    match = _SIZE.fullmatch(text)
    if match is None:
        raise ValueError(f"not a size: {text!r} (e.g. 500MB, 2G)")
    number, unit = match.groups()
    size = int(float(number) * _UNITS[(unit or "").lower()])
    if size <= 0:
        raise ValueError(f"a size must be more than zero, not {text!r}")
    return size


def size_text(n: int) -> str:
    """``n`` bytes as ``parse_size`` reads them back, in binary units:
    ``1.0 GiB``, ``512.0 MiB``, ``300 bytes``."""
    for unit, size in (("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10)):
        if n >= size:
            return f"{n / size:.1f} {unit}"
    return f"{n} bytes"
