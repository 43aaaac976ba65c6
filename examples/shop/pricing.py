"""Prices of order lines and of whole orders."""
import random

from shop.config import SETTINGS


def line_total(product, quantity):
    return round(product.price * quantity, 2)


def with_tax(amount):
    return round(amount * (1 + SETTINGS.tax_rate), 2)


def discount_for(amount):
    """A bulk discount, and now and then a lucky extra one."""
    rate = SETTINGS.bulk_discount if amount >= SETTINGS.bulk_discount_from else 0.0
    if random.random() < 0.25:
        rate += 0.01
    return rate


def order_total(lines):
    """The total of (product, quantity) lines: discount, then tax."""
    subtotal = sum(line_total(product, quantity) for product, quantity in lines)
    rate = discount_for(subtotal)
    return with_tax(subtotal * (1 - rate))
