"""Shop configuration, read by the rest of the shop through attributes of
the ``SETTINGS`` global."""
import os


class Settings:
    """Prices, taxes and where the shop keeps its files."""

    def __init__(self) -> None:
        self.currency = os.environ.get("SHOP_CURRENCY", "EUR")
        self.tax_rate = 0.2
        self.bulk_discount_from = 100.0
        self.bulk_discount = 0.05
        self.data_dir = None  # set by the application at start


SETTINGS = Settings()
