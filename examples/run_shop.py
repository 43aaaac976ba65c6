"""The example application: a morning at the shop.

Run it plainly with ``python run_shop.py``, or recorded with
``tarnwick record run_shop.py`` (``make demo`` does that).
"""
import asyncio
import json
import os
import random
import tempfile
import threading

from shop.catalog import Catalog, OutOfStock
from shop.config import SETTINGS
from shop.orders import Order, audit, notify_customer, place_order, tag_items
from shop.storage import OrderBook, write_report

PRODUCTS = [
    {"name": "notebook", "price": 3.5, "stock": 40},
    {"name": "pen", "price": 1.2, "stock": 100},
    {"name": "stapler", "price": 12.0, "stock": 2},
]


def restock_later(catalog, name, quantity):
    """Runs on a worker thread."""
    return catalog.find(name).restock(quantity)


def main():
    random.seed(7)
    with tempfile.TemporaryDirectory() as data_dir:
        SETTINGS.data_dir = data_dir
        catalog_file = os.path.join(data_dir, "catalog.json")
        with open(catalog_file, "w", encoding="utf-8") as fh:
            json.dump(PRODUCTS, fh)
        catalog = Catalog.load(catalog_file)
        book = OrderBook(os.path.join(data_dir, "orders.db"))
        lock = threading.Lock()
        report = []

        orders = [
            Order(1, {"notebook": 2, "pen": 5}),
            Order(2, {"stapler": 3}),  # more than in stock
            Order(3, {"notebook": 30, "pen": 20}),
        ]
        for order in orders:
            try:
                line = place_order(catalog, order)
            except OutOfStock as exc:
                line = f"order {order.number} refused: {exc}"
            else:
                book.save(order)
            print(line)
            report.append(audit(line, lock))

        worker = threading.Thread(target=restock_later, args=(catalog, "stapler", 5))
        worker.start()
        worker.join()
        print(f"stapler stock after restocking: {catalog.find('stapler').stock}")

        tags = []
        tag_items(orders[0], tags)
        print(f"tags: {tags}")
        print(asyncio.run(notify_customer(orders[0])))

        size = write_report(os.path.join(data_dir, "report.json"), report)
        print(f"report: {len(report)} lines, {size} bytes")
        print(f"revenue: {book.revenue():.2f} {SETTINGS.currency}")
        book.close()


if __name__ == "__main__":
    main()
