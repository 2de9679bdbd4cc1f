"""Tiny helpers for summarising numbers; shipped as a wheel for the vesk tour."""

__version__ = "1.0.0"


def describe(values):
    values = sorted(values)
    n = len(values)
    if n == 0:
        return {"count": 0}
    mid = n // 2
    median = values[mid] if n % 2 else (values[mid - 1] + values[mid]) / 2
    return {"count": n, "min": values[0], "max": values[-1],
            "mean": sum(values) / n, "median": median}
