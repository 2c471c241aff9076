"""Shared helpers of the fuzz targets: build Python values from fuzz bytes."""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

WORDS = ["revenue", "Region", "order_date", "top", "bottom", "5", "by", "monthly", "count", "total", "status",
         "customerID", "SKU", "Σ", "İ", "\u212a", "\ud800", "\x00", " ", "_", "-", ".", "é", "😀", "١٢", "\t"]


def text(fdp, max_len=40):
    """A text mixing known trigger words with arbitrary code points."""
    parts = []
    for _ in range(fdp.ConsumeIntInRange(0, 8)):
        if fdp.ConsumeBool():
            parts.append(WORDS[fdp.ConsumeIntInRange(0, len(WORDS) - 1)])
        else:
            parts.append(fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, max_len)))
    return "".join(parts)


def value(fdp, depth=0):
    """Any JSON-ish value, with the odd numbers and containers the host allows."""
    kind = fdp.ConsumeIntInRange(0, 11 if depth < 4 else 7)
    if kind == 0:
        return None
    if kind == 1:
        return fdp.ConsumeBool()
    if kind == 2:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 80))
    if kind == 3:
        return fdp.ConsumeRegularFloat()
    if kind == 4:
        return [float("nan"), float("inf"), -0.0, 5e-324, 1e16, 1e-05][fdp.ConsumeIntInRange(0, 5)]
    if kind in (5, 6, 7):
        return text(fdp)
    n = fdp.ConsumeIntInRange(0, 4)
    if kind == 8:
        return [value(fdp, depth + 1) for _ in range(n)]
    if kind == 9:
        return tuple(value(fdp, depth + 1) for _ in range(n))
    if kind == 10:
        return {text(fdp, 8): value(fdp, depth + 1) for _ in range(n)}
    return {fdp.ConsumeIntInRange(-3, 3): value(fdp, depth + 1) for _ in range(n)}
