#!/usr/bin/env python3
"""Draws Prometheus query_range answers (JSON files) as an SVG, one panel per
answer, one line per series, the panels stacked.

Usage: metrics_plot.py TITLE UNIT ANSWER.json [TITLE UNIT ANSWER.json ...] > plot.svg
"""
import json
import math
import sys

WIDTH, LEFT, RIGHT_MARGIN, PANEL, GAP, TOP = 720, 70, 20, 120, 60, 40
COLOURS = ["#1f77b4", "#d62728", "#2ca02c", "#9467bd"]


def series(path):
    """[(label, [(t, v), ...]), ...] from a query_range answer."""
    with open(path) as f:
        result = json.load(f)["data"]["result"]
    out = []
    for one in result:
        labels = ",".join(f"{k}={v}" for k, v in sorted(one["metric"].items()) if k != "__name__")
        out.append((labels or one["metric"].get("__name__", "value"),
                    [(float(t), float(v)) for t, v in one["values"]]))
    return out


def nice_top(value):
    """The smallest 1, 2 or 5 times a power of ten, times 4, above value."""
    if value <= 0:
        return 1.0
    step = value / 4
    power = 10 ** math.floor(math.log10(step))
    for factor in (1, 2, 5, 10):
        if factor * power >= step:
            return 4 * factor * power
    return 4 * 10 * power


def panel(top, title, unit, lines):
    """SVG elements of one panel: frame, ticks, lines and a legend."""
    points = [p for _, values in lines for p in values]
    if not points:
        return [f'<text x="{LEFT}" y="{top + PANEL / 2}">{title}: no data</text>']
    t0, t1 = min(p[0] for p in points), max(p[0] for p in points)
    v1 = nice_top(max(p[1] for p in points) * 1.05)
    right = WIDTH - RIGHT_MARGIN

    def x(t):
        return LEFT + (t - t0) / ((t1 - t0) or 1) * (right - LEFT)

    def y(v):
        return top + PANEL - v / v1 * PANEL

    out = [f'<text x="{LEFT}" y="{top - 10}" font-weight="bold">{title}</text>',
           f'<rect x="{LEFT}" y="{top}" width="{right - LEFT}" height="{PANEL}" fill="none" stroke="#888"/>']
    for i in range(5):
        ty = y(v1 * i / 4)
        out.append(f'<line x1="{LEFT - 4}" y1="{ty:.1f}" x2="{right}" y2="{ty:.1f}" stroke="#ddd"/>')
        out.append(f'<text x="{LEFT - 8}" y="{ty + 4:.1f}" text-anchor="end">{v1 * i / 4:g}</text>')
        t = (t1 - t0) * i / 4
        out.append(f'<text x="{x(t0 + t):.1f}" y="{top + PANEL + 16}" text-anchor="middle">{t:.0f} s</text>')
    out.append(f'<text x="16" y="{top + PANEL / 2}" transform="rotate(-90 16 {top + PANEL / 2})" '
               f'text-anchor="middle">{unit}</text>')
    for i, (label, values) in enumerate(lines):
        colour = COLOURS[i % len(COLOURS)]
        path = " ".join(f"{x(t):.1f},{y(v):.1f}" for t, v in values)
        out.append(f'<polyline points="{path}" fill="none" stroke="{colour}" stroke-width="1.5"/>')
        out.append(f'<text x="{right - 8}" y="{top + 16 + 14 * i}" text-anchor="end" '
                   f'fill="{colour}">{label}</text>')
    return out


def main():
    args = sys.argv[1:]
    if not args or len(args) % 3:
        sys.exit(__doc__)
    body = []
    for n in range(len(args) // 3):
        title, unit, path = args[3 * n:3 * n + 3]
        body += panel(TOP + n * (PANEL + GAP), title, unit, series(path))
    height = TOP + len(args) // 3 * (PANEL + GAP)
    print(f'<svg xmlns="http://www.w3.org/2000/svg" width="{WIDTH}" height="{height}" '
          f'font-family="sans-serif" font-size="12">')
    print(f'<rect width="{WIDTH}" height="{height}" fill="white"/>')
    print("\n".join(body))
    print("</svg>")


if __name__ == "__main__":
    main()
