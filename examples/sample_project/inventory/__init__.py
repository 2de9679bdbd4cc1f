"""Stock keeping for a small shop."""

from .items import Item
from .stock import Stock

__all__ = ["Item", "Stock"]
