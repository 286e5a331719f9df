"""Writes the demo sample: realistic e-commerce orders as JSON Lines, deterministically.

Every order has a customer with an address, line items with attributes, tags, payment and
shipping details. Keys are camelCase and arrays are never empty, so every order belongs to the
class of documents that survive a shred and unshred round trip exactly.

    python examples/make_orders.py examples/orders.jsonl --count 3000
"""

from __future__ import annotations

import argparse
import json
import random

FIRST = ["Ada", "Grace", "Alan", "Edsger", "Barbara", "Donald", "Frances", "Ken", "Radia",
         "Tim", "Margaret", "Dennis", "Hedy", "John", "Katherine", "Linus"]
LAST = ["Lovelace", "Hopper", "Turing", "Dijkstra", "Liskov", "Knuth", "Allen", "Thompson",
        "Perlman", "Berners-Lee", "Hamilton", "Ritchie", "Lamarr", "Backus", "Johnson"]
CITIES = [("Lisbon", "PT"), ("Oslo", "NO"), ("Kraków", "PL"), ("Zürich", "CH"),
          ("Montréal", "CA"), ("Osaka", "JP"), ("Austin", "US"), ("Nairobi", "KE"),
          ("Porto Alegre", "BR"), ("Dublin", "IE")]
STREETS = ["Main St", "Harbour Rd", "Rua Augusta", "Elm Ave", "Ringstraße", "Canal Walk"]
PRODUCTS = [("KB-101", "Mechanical keyboard", 89.0), ("MS-220", "Wireless mouse", 24.5),
            ("MN-270", "27\" monitor", 259.99), ("HD-050", "USB-C hub", 39.9),
            ("CH-900", "Desk chair", 189.0), ("LP-013", "Laptop stand", 45.25),
            ("CB-002", "Cable set", 12.75), ("WC-480", "Webcam", 64.0),
            ("SP-330", "Speakers", 79.95), ("HS-777", "Headset", 99.5)]
COLORS = ["black", "white", "grey", "blue", "red"]
TAGS = ["gift", "express", "first-order", "b2b", "returning", "promo", "fragile", "eco"]
STATUSES = ["placed", "paid", "packed", "shipped", "delivered"]
METHODS = ["card", "paypal", "transfer", "voucher"]
CARRIERS = ["DHL", "UPS", "PostNL", "FedEx"]


def make_order(rng: random.Random, number: int) -> dict:
    first, last = rng.choice(FIRST), rng.choice(LAST)
    city, country = rng.choice(CITIES)
    items = []
    for _ in range(rng.randint(1, 5)):
        sku, name, price = rng.choice(PRODUCTS)
        items.append({
            "sku": sku,
            "name": name,
            "quantity": rng.randint(1, 4),
            "unitPrice": price,
            "attributes": rng.sample(COLORS, rng.randint(1, 2)),
        })
    total = round(sum(i["quantity"] * i["unitPrice"] for i in items), 2)
    return {
        "orderId": f"ORD-{number:06d}",
        "createdAt": f"2026-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}T"
                     f"{rng.randint(0, 23):02d}:{rng.randint(0, 59):02d}:00Z",
        "status": rng.choice(STATUSES),
        "customer": {
            "customerId": rng.randint(1000, 99999),
            "name": f"{first} {last}",
            "email": f"{first.lower()}.{last.lower()}@example.com",
            "vip": rng.random() < 0.1,
            "address": {
                "street": f"{rng.randint(1, 250)} {rng.choice(STREETS)}",
                "city": city,
                "country": country,
                "postcode": f"{rng.randint(1000, 99999)}",
            },
        },
        "items": items,
        "tags": rng.sample(TAGS, rng.randint(1, 3)),
        "payment": {"method": rng.choice(METHODS), "amount": float(total), "currency": "EUR"},
        "shipping": {"carrier": rng.choice(CARRIERS), "express": rng.random() < 0.3,
                     "weightKg": round(rng.uniform(0.2, 25.0), 2)},
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output")
    parser.add_argument("--count", type=int, default=3000)
    parser.add_argument("--seed", type=int, default=20261208)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    with open(args.output, "w", encoding="utf-8") as out:
        for number in range(1, args.count + 1):
            out.write(json.dumps(make_order(rng, number), ensure_ascii=False) + "\n")


if __name__ == "__main__":
    main()
