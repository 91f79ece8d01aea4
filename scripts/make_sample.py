"""Writes data/sample.csv, the demo's bundled sample: a few thousand orders
as a spreadsheet would export them (a byte-order mark, CRLF line ends,
quoted fields holding commas, doubled quotes and line breaks, typed columns).
Deterministic: the same bytes on every run.

    python scripts/make_sample.py [OUT.csv]
"""
import csv
import os
import random
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

FIRST = ["Anna", "Björn", "Chloé", "Dmitri", "Elif", "François", "Grace", "Hiroshi", "Inés", "Jonas", "Kofi",
         "Łucja", "Mateo", "Nadia", "Oskar", "Priya", "Quentin", "Rosa", "Søren", "Tomás", "Ümit", "Valeria"]
LAST = ["Andersen", "Bianchi", "Černý", "Dubois", "Eriksson", "Fischer", "García", "Hansen", "Ivanova", "Jensen",
        "Kowalski", "López", "Müller", "Nakamura", "O'Brien", "Petrov", "Rossi", "Schäfer", "Tanaka", "Weiß"]
CITIES = ["Zürich", "Genève", "München", "São Paulo", "Kraków", "Malmö", "Reykjavík", "Lyon", "Oslo", "Porto",
          "Łódź", "Sevilla", "Tōkyō", "Bergen"]
PRODUCTS = ['Desk lamp, brass', 'Chair "Nordic"', "Notebook A5", "Espresso cups (set of 4)", "USB-C cable, 2 m",
            "Rain jacket", "Tea, green; loose", "Backpack 30 l", "Pen | fine", "Plant pot, 12\" glazed"]
NOTES = ["", "", "", "", "Leave at the door", "Gift wrap, please", 'Customer said: "call first"',
         "Deliver after 5 pm,\r\nnot before", "Fragile!\r\nHandle with care", "Second floor, ring twice",
         "Call +41 44 123 45 67, ext. 12", "Rechnung an: Firma Weiß & Söhne, Bern"]


def rows(n, rng):
    yield ["order_id", "placed_at", "customer", "city", "product", "quantity", "unit_price", "total", "paid", "note"]
    for i in range(n):
        quantity = rng.choice([1, 1, 1, 2, 2, 3, 4, 10])
        cents = rng.randrange(150, 25000)
        unit = cents / 100
        yield [
            str(100000 + i),
            f"2026-{1 + i * 12 // n:02d}-{1 + rng.randrange(28):02d}T{rng.randrange(24):02d}:"
            f"{rng.randrange(60):02d}:{rng.randrange(60):02d}Z",
            f"{rng.choice(LAST)}, {rng.choice(FIRST)}",
            rng.choice(CITIES),
            rng.choice(PRODUCTS),
            str(quantity),
            number(unit),
            number(round(unit * quantity, 2)),
            rng.choice(["true", "true", "true", "false"]),
            rng.choice(NOTES),
        ]


def number(x):
    """The shortest decimal text (12.5, not 12.50), as a careful exporter writes it."""
    return f"{x:.2f}".rstrip("0").rstrip(".")


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "data", "sample.csv")
    with open(out, "w", encoding="utf-8-sig", newline="") as f:
        csv.writer(f, lineterminator="\r\n").writerows(rows(3000, random.Random(27)))


if __name__ == "__main__":
    main()
