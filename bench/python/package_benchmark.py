"""The Python package against the library it wraps, and against pandas.

    python3 package_benchmark.py STORE ZUN_STORE_TIMER [ROUNDS]

Side by side, alternating, in rounds (medians of each): the library's own
open and default query (zun_store_timer, the same build), zun.open,
Report.query(...).groups, samples_frame(), and the usual pandas analysis on
samples_frame() (group by kernel: count, sum, max, the lower 0.5 and 0.95
quantiles; no union). Prints the figures and their ratios.
"""

import gc
import json
import statistics
import subprocess
import sys
import time

import zun


def seconds(body):
    gc.collect()
    start = time.perf_counter()
    body()
    return time.perf_counter() - start


def pandas_analysis(frame):
    by_kernel = frame.groupby("kernel", observed=True)["duration"]
    table = by_kernel.agg(["count", "sum", "max"])
    table["p50"] = by_kernel.quantile(0.5, interpolation="lower")
    table["p95"] = by_kernel.quantile(0.95, interpolation="lower")
    return table


def main():
    store, timer = sys.argv[1], sys.argv[2]
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 7
    figures = {key: [] for key in ("library_open", "library_query", "open",
                                   "groups", "samples_frame", "pandas")}
    for _ in range(rounds):
        library = json.loads(subprocess.run([timer, store, "3"], check=True,
                                            capture_output=True, text=True).stdout)
        figures["library_open"].append(library["open_s"])
        figures["library_query"].append(library["query_s"])
        figures["open"].append(seconds(lambda: zun.open(store, progress=False)))
        report = zun.open(store, progress=False)
        figures["groups"].append(seconds(lambda: report.query().groups))
        figures["samples_frame"].append(seconds(report.samples_frame))
        frame = report.samples_frame(["kernel", "duration"])
        figures["pandas"].append(seconds(lambda: pandas_analysis(frame)))
        del report, frame
    m = {key: statistics.median(values) for key, values in figures.items()}
    ms = {key: round(value * 1e3, 1) for key, value in m.items()}
    print(json.dumps(ms))
    print(f"zun.open / library open: {m['open'] / m['library_open']:.2f}")
    print(f"query().groups / (library query + 1 ms): "
          f"{m['groups'] / (m['library_query'] + 1e-3):.2f}")
    print(f"samples_frame(): {ms['samples_frame']} ms")
    print(f"pandas group by kernel / the engine's whole answer: "
          f"{m['pandas'] / m['groups']:.1f}")


if __name__ == "__main__":
    main()
