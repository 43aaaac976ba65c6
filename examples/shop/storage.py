"""Where orders are kept: a SQLite database and a JSON report."""
import json
import os
import sqlite3


class OrderBook:
    def __init__(self, path):
        self.connection = sqlite3.connect(path)
        self.connection.execute(
            "CREATE TABLE IF NOT EXISTS orders (number INTEGER, total REAL)")

    def save(self, order):
        self.connection.execute(
            "INSERT INTO orders VALUES (?, ?)", (order.number, order.total))
        self.connection.commit()

    def revenue(self):
        (total,) = self.connection.execute(
            "SELECT COALESCE(SUM(total), 0) FROM orders").fetchone()
        return round(total, 2)

    def close(self):
        self.connection.close()


def write_report(path, lines):
    with open(path, "w", encoding="utf-8") as fh:
        json.dump({"lines": lines}, fh, indent=1)
    return os.path.getsize(path)
