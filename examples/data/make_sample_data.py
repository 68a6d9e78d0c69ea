"""Regenerates baseline.csv and production.csv, the sample data of the drift demo.

Production customers are older and have moved from the store to the web and to a new app
channel, so both features show a shift. Seeded, so the files are the same on every run.
"""
import csv
import random
from pathlib import Path

HERE = Path(__file__).resolve().parent

# (rows, mean age, spread of age, oldest age, channel weights)
BASELINE = (3000, 41, 12, 78, {"web": 45, "store": 35, "phone": 15, "mail": 5})
PRODUCTION = (2500, 47, 13, 90, {"web": 52, "store": 24, "phone": 14, "app": 10})


def rows(rng, count, mean, spread, oldest, weights):
    channels = rng.choices(list(weights), weights=list(weights.values()), k=count)
    for channel in channels:
        age = min(max(round(rng.gauss(mean, spread)), 18), oldest)
        yield age, channel


def write(path, data):
    with open(path, "w", newline="") as out:
        writer = csv.writer(out)
        writer.writerow(["age", "channel"])
        writer.writerows(data)


def main():
    rng = random.Random(20240611)
    write(HERE / "baseline.csv", rows(rng, *BASELINE))
    write(HERE / "production.csv", rows(rng, *PRODUCTION))


if __name__ == "__main__":
    main()
