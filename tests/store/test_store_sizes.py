"""Sizes as ``--max-store-size`` and ``TARNWICK_MAX_STORE_SIZE`` take them."""
import pytest

from tarnwick_collector.store.sizes import parse_size


@pytest.mark.parametrize("text, size", [
    ("4096", 4096), ("500MB", 500_000_000), ("2G", 2_000_000_000), ("2g", 2_000_000_000),
    ("1.5GiB", 1_610_612_736), ("64KiB", 65_536), (" 10 kb ", 10_000), ("1TB", 10 ** 12),
])
def test_sizes_with_their_units(text, size):
    assert parse_size(text) == size


@pytest.mark.parametrize("text", ["", "MB", "0", "0.0001", "-1MB", "1.5.2G", "5 XB", "1e9"])
def test_what_is_no_size_is_refused(text):
    with pytest.raises(ValueError):
        parse_size(text)
