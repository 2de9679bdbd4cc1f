"""The items a shop sells: a SKU, a name and a price."""

from dataclasses import dataclass


@dataclass(frozen=True)
class Item:
    sku: str
    name: str
    price_cents: int

    def price(self) -> str:
        # TODO: support currencies other than euro
        return f"{self.price_cents / 100:.2f} EUR"
