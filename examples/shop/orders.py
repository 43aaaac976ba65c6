"""Placing orders: stock, prices, a receipt."""
import asyncio
import time

from shop.catalog import OutOfStock
from shop.config import SETTINGS
from shop.pricing import order_total


class Order:
    def __init__(self, number, items):
        self.number = number
        self.items = items  # name -> quantity
        self.total = None
        self.placed_at = None


def place_order(catalog, order):
    """Reserve the order's items and price it; on a missing item nothing is
    reserved and OutOfStock propagates."""
    lines = [(catalog.find(name), quantity) for name, quantity in order.items.items()]
    reserved = []
    try:
        for product, quantity in lines:
            product.reserve(quantity)
            reserved.append((product, quantity))
    except OutOfStock:
        for product, quantity in reserved:
            product.restock(quantity)
        raise
    order.total = order_total(lines)
    order.placed_at = time.time()
    return receipt(order)


def receipt(order):
    items = ", ".join(f"{q} x {name}" for name, q in sorted(order.items.items()))
    return f"order {order.number}: {items} = {order.total:.2f} {SETTINGS.currency}"


def tag_items(order, tags):
    """Add the order's item names to ``tags`` (changes its argument)."""
    tags.extend(sorted(order.items))
    return len(tags)


def audit(message, lock):
    """Write an audit line while holding ``lock`` (which stock pickling
    refuses)."""
    with lock:
        return f"audit: {message}"


async def notify_customer(order):
    """Coroutines are not recorded; this one still runs as usual."""
    await asyncio.sleep(0)
    return f"customer notified about order {order.number}"
