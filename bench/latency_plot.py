"""The latency plot of the performance page: an SVG drawn by hand.

One curve per configuration from the latency benchmark's histogram rows
(config, latency_us, cumulative_fraction): the latency on a logarithmic x
axis, and the share of events at or below it on a y axis of "nines" (0, 90 %,
99 %, 99.9 %, ...), so the tail is as readable as the median. A curve ends at the top edge with
its largest latency; a dashed line marks the 50 µs p99 target.
"""
import math
import re
from xml.sax.saxutils import escape

WIDTH, HEIGHT = 760, 440
LEFT, RIGHT, TOP, BOTTOM = 70, 220, 30, 50
COLOURS = ["#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd", "#8c564b",
           "#e377c2", "#7f7f7f", "#bcbd22", "#17becf"]
MAX_NINES = 5  # 99.999 %; the largest latency of a curve is drawn at the top
TARGET_US = 50  # the p99 target, a dashed line


def nines(fraction):
    """-log10(1 - fraction): 0 at 0, 1 at 90 %, 2 at 99 %; capped at MAX_NINES."""
    if fraction >= 1:
        return MAX_NINES
    return min(MAX_NINES, -math.log10(1 - max(0.0, fraction)))


def label(config):
    """A configuration's name for the legend: "64x2" reads "64 cameras, 2 producers", and
    "64x1 bare queue" reads "64 cameras, 1 producer, bare queue"."""
    match = re.match(r"^(\d+)x(\d+)(?: (.+))?$", config)
    if not match:
        return config
    cameras, producers, queue = match.groups()
    return "%s cameras, %s producer%s%s" % (cameras, producers, "" if producers == "1" else "s",
                                           ", " + queue if queue else "")


def placeholder(message):
    return ('<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="80" '
            'font-family="sans-serif" font-size="14">\n'
            '<rect width="100%%" height="100%%" fill="white"/>\n'
            '<text x="20" y="45">%s</text>\n</svg>\n' % (WIDTH, escape(message)))


def _decades(curves):
    values = [x for points in curves.values() for x, _ in points if x > 0]
    low = math.floor(math.log10(min(values)))
    high = math.ceil(math.log10(max(values)))
    return low, max(high, low + 1)


def _axes(low, high, top_nines, x_of, y_of):
    parts = ['<rect x="%d" y="%d" width="%d" height="%d" fill="none" stroke="#444"/>'
             % (LEFT, TOP, WIDTH - LEFT - RIGHT, HEIGHT - TOP - BOTTOM)]
    for decade in range(low, high + 1):
        x = x_of(10 ** decade)
        parts.append('<line x1="%.1f" y1="%d" x2="%.1f" y2="%d" stroke="#ddd"/>'
                     % (x, TOP, x, HEIGHT - BOTTOM))
        label = "%g" % (10 ** decade)
        parts.append('<text x="%.1f" y="%d" text-anchor="middle">%s</text>'
                     % (x, HEIGHT - BOTTOM + 18, label))
    for n in range(0, top_nines + 1):
        y = y_of(n)
        label = "0 %" if n == 0 else ("%." + str(max(0, n - 2)) + "f %%") % (100 - 100 / 10 ** n)
        parts.append('<line x1="%d" y1="%.1f" x2="%d" y2="%.1f" stroke="#ddd"/>'
                     % (LEFT, y, WIDTH - RIGHT, y))
        parts.append('<text x="%d" y="%.1f" text-anchor="end">%s</text>'
                     % (LEFT - 6, y + 4, label))
    parts.append('<text x="%d" y="%d" text-anchor="middle">latency (µs, logarithmic)</text>'
                 % ((LEFT + WIDTH - RIGHT) // 2, HEIGHT - 10))
    parts.append('<text x="14" y="%d" text-anchor="middle" transform="rotate(-90 14 %d)">'
                 'events at or below</text>' % ((TOP + HEIGHT - BOTTOM) // 2,
                                                (TOP + HEIGHT - BOTTOM) // 2))
    return parts


def latency_svg(rows):
    """rows: (config, latency_us, cumulative_fraction) in file order."""
    curves = {}
    for config, latency, fraction in rows:
        curves.setdefault(config, []).append((latency, fraction))
    curves = {c: sorted(p) for c, p in curves.items() if any(x > 0 for x, _ in p)}
    if not curves:
        return placeholder("latency not measured in this run")
    low, high = _decades(curves)
    below_all = [nines(f) for points in curves.values() for _, f in points if f < 1]
    top_nines = max(1, min(MAX_NINES, math.ceil(max(below_all)) if below_all else 3))

    def x_of(value):
        share = (math.log10(max(value, 10 ** low)) - low) / (high - low)
        return LEFT + share * (WIDTH - LEFT - RIGHT)

    def y_of(n):
        return HEIGHT - BOTTOM - min(n, top_nines) / top_nines * (HEIGHT - TOP - BOTTOM)

    parts = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" '
             'font-family="sans-serif" font-size="12">' % (WIDTH, HEIGHT),
             '<rect width="100%" height="100%" fill="white"/>']
    parts += _axes(low, high, top_nines, x_of, y_of)
    if 10 ** low < TARGET_US < 10 ** high:
        x = x_of(TARGET_US)
        parts.append('<line x1="%.1f" y1="%d" x2="%.1f" y2="%d" stroke="#444" '
                     'stroke-dasharray="4 3"/>' % (x, TOP, x, HEIGHT - BOTTOM))
        parts.append('<text x="%.1f" y="%d" font-size="10">%g µs</text>'
                     % (x + 3, TOP + 12, TARGET_US))
    for index, (config, points) in enumerate(curves.items()):
        colour = COLOURS[index % len(COLOURS)]
        path = " ".join("%s%.1f,%.1f" % ("M" if i == 0 else "L", x_of(x), y_of(nines(f)))
                        for i, (x, f) in enumerate(points) if x > 0)
        parts.append('<path d="%s" fill="none" stroke="%s" stroke-width="1.5"/>' % (path, colour))
        y = TOP + 10 + 18 * index
        parts.append('<line x1="%d" y1="%d" x2="%d" y2="%d" stroke="%s" stroke-width="3"/>'
                     % (WIDTH - RIGHT + 12, y, WIDTH - RIGHT + 32, y, colour))
        parts.append('<text x="%d" y="%d">%s</text>'
                     % (WIDTH - RIGHT + 38, y + 4, escape(label(config))))
    parts.append("</svg>")
    return "\n".join(parts) + "\n"
