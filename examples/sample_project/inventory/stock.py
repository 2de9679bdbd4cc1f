"""What the shop holds: items and their counts, loaded from a CSV file."""

import csv
from collections import Counter

from .items import Item


class Stock:
    def __init__(self) -> None:
        self.items: dict[str, Item] = {}
        self.counts: Counter[str] = Counter()

    @classmethod
    def from_csv(cls, path: str) -> "Stock":
        stock = cls()
        with open(path, newline="") as f:
            for row in csv.DictReader(f):
                item = Item(row["sku"], row["name"], int(row["price_cents"]))
                stock.items[item.sku] = item
                stock.counts[item.sku] += int(row["quantity"])
        return stock

    def value_cents(self) -> int:
        return sum(self.items[sku].price_cents * n for sku, n in self.counts.items())

    def low(self, threshold: int = 5) -> list[Item]:
        # TODO: make the threshold configurable per item
        return [self.items[sku] for sku, n in self.counts.items() if n < threshold]
