"""A small shop: a catalog, pricing, orders and their storage.

The example application that ``make demo`` records.
"""
