"""What a user might do instead: the samples as a pandas frame, grouped by
kernel with the default query's figures.
    /usr/bin/python3 group_by_kernel.py SAMPLES.csv [RUNS]
Prints the median of RUNS runs (default 5) of the aggregates alone, and of
the interval union per (kernel, phase, epoch), each on a frame already in
memory."""

import statistics
import sys
import time

import numpy as np
import pandas as pd


def aggregates(frame):
    grouped = frame.groupby("kernel", sort=False)
    return pd.DataFrame({
        "samples": grouped.size(),
        "tiles": grouped["tile"].nunique(),
        "phases": frame.drop_duplicates(["kernel", "phase", "epoch"])
                       .groupby("kernel", sort=False).size(),
        "work": grouped["duration"].sum(),
        "p50": grouped["duration"].quantile(0.5, interpolation="lower"),
        "p95": grouped["duration"].quantile(0.95, interpolation="lower"),
        "maximum": grouped["duration"].max(),
        "first": grouped["offset"].min(),
        "last": grouped["end"].max(),
    })


def union(frame):
    # Sorted by list and start, a run begins an island when it starts past
    # the furthest end before it in its list.
    runs = frame.sort_values(["kernel", "phase", "epoch", "offset", "end"])
    keys = ["kernel", "phase", "epoch"]
    reach = runs.groupby(keys, sort=False)["end"].cummax()
    before = reach.groupby([runs[k] for k in keys], sort=False).shift(1)
    island = (before.isna() | (runs["offset"] > before)).cumsum()
    spans = runs.groupby(island, sort=False).agg(
        kernel=("kernel", "first"), begin=("offset", "min"), end=("end", "max"))
    return (spans["end"] - spans["begin"]).groupby(spans["kernel"]).sum()


def median_ms(body, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        body()
        times.append((time.perf_counter() - start) * 1e3)
    return statistics.median(times)


def main():
    path = sys.argv[1]
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    frame = pd.read_csv(path, dtype={"tile": np.uint32, "offset": np.uint64,
                                     "duration": np.uint32, "kernel": "category",
                                     "phase": np.uint32, "epoch": np.uint32})
    frame["end"] = frame["offset"] + frame["duration"]
    print(f"aggregates: {median_ms(lambda: aggregates(frame), runs):.1f} ms")
    print(f"union per (kernel, phase, epoch): "
          f"{median_ms(lambda: union(frame), runs):.1f} ms")


if __name__ == "__main__":
    main()
