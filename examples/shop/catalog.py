"""Products and the catalog that holds them."""
import json


class OutOfStock(Exception):
    """Raised when an order asks for more than the shop has."""

    def __init__(self, name, wanted, available):
        super().__init__(f"{name}: wanted {wanted}, only {available} left")
        self.name = name
        self.wanted = wanted
        self.available = available


class Product:
    def __init__(self, name, price, stock):
        self.name = name
        self.price = price
        self.stock = stock

    def reserve(self, quantity):
        """Take ``quantity`` items out of stock."""
        if quantity > self.stock:
            raise OutOfStock(self.name, quantity, self.stock)
        self.stock -= quantity
        return self.stock

    def restock(self, quantity):
        self.stock += quantity
        return self.stock

    def __repr__(self):
        return f"Product({self.name!r}, {self.price}, stock={self.stock})"


class Catalog:
    def __init__(self, products):
        self.products = {p.name: p for p in products}

    @classmethod
    def load(cls, path):
        """Read the catalog from a JSON file."""
        with open(path, encoding="utf-8") as fh:
            rows = json.load(fh)
        return cls([Product(r["name"], r["price"], r["stock"]) for r in rows])

    def find(self, name):
        return self.products[name]

    def names(self):
        return sorted(self.products)
