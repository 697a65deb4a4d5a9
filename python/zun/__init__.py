"""Profile reports of a tiled processor, queried in-process.

    import zun
    report = zun.open("run.zun")            # a store or a JSON report
    result = report.query(group_by="kernel", limit=10)
    result.groups                           # a pandas DataFrame
    report.activity(buckets=200)            # busy cycles over time
    report.samples_frame()                  # every sample, no copy
    zun.open(["chip0.zun", "chip1.zun"])    # shards of one report
    report.query(threads=2)                 # on two cores, the same answer

zun.diff compares two runs and returns a zun.Diff: a pandas DataFrame of
the diff's rows with the runs' regressions beside it (help(zun.Diff)).
zun.distributed answers over a Dask cluster (one task per shard).

The engine is the one profile-query runs: answers are exact and equal to
its own, and a query lets the GIL go while it runs.
"""

from ._zun import ReportError
from ._diff import Diff, diff
from ._report import Report, Result, open
from ._writer import StoreWriter

ReportError.__doc__ = ("A report that cannot be read or written; the message "
                       "is the one profile-query prints for it.")

__version__ = "0.1.0"

# Diff is left out of help(zun), which would list every method it inherits
# from pandas' DataFrame; zun.Diff and help(zun.Diff) are as ever.
__all__ = ["Report", "ReportError", "Result", "StoreWriter", "diff", "open",
           "__version__"]
