"""Open a report, ask it a few questions, and save its activity as a PNG.

    python analyse.py REPORT [OUT.png]

REPORT is a store or a JSON report (examples/report.json is one).
"""

import sys

import matplotlib

matplotlib.use("Agg")  # no display needed
import matplotlib.pyplot as plt

import zun


def main() -> int:
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    report = zun.open(sys.argv[1])
    print(report)

    # The kernels that cover the most of the run.
    result = report.query(group_by="kernel", limit=5)
    print(result.groups[["sample_count", "phase_cycles", "work_cycles",
                         "average_active_tiles", "p95_cycles"]])

    # What the slowest compute steps were.
    slowest = report.query(kind="compute", samples=3, limit=0).samples
    print(slowest[["physical_tile", "offset", "duration", "kernel", "operation"]])

    # Anything the engine lacks is one pandas call away.
    frame = report.samples_frame(["physical_tile", "duration", "kind"])
    print(frame.groupby("kind", observed=True)["duration"].describe())

    output = sys.argv[2] if len(sys.argv) > 2 else "activity.png"
    ax = report.plot_activity(buckets=120, group_by="kernel", limit=6)
    ax.figure.tight_layout()
    ax.figure.savefig(output, dpi=110)
    plt.close(ax.figure)
    print(f"activity saved to {output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
