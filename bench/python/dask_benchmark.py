"""zun.distributed on a local Dask cluster against one process.

Writes SHARDS stores of an interleaved report (SAMPLES in all) with
zun_large_store, starts a LocalCluster of 2 worker processes (one thread
each) on loopback, and times, alternating, ROUNDS times:
  dask        zun.distributed.query(shards, client)   (default request)
  one process zun.open(shards).query(threads=2)
and prints the medians, their ratio, and the bytes each shard's task sends
back (its partial). Run with Debian's python3 and the package on PYTHONPATH:

  PYTHONPATH=build/python/stage /usr/bin/python3 bench/python/dask_benchmark.py \
      build/bench/zun_large_store /tmp/shards 100000000 4
"""

import os
import statistics
import subprocess
import sys
import time

import distributed

import zun
import zun.distributed
from zun import _request, _zun

ROUNDS = 5


def main():
    writer, folder, samples, shards = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    os.makedirs(folder, exist_ok=True)
    per_shard = samples // shards
    paths = []
    for i in range(shards):
        path = os.path.join(folder, f"shard{i}.zun")
        if not os.path.exists(path):
            subprocess.run([writer, path, str(per_shard), str(per_shard // 2048)],
                           check=True, stdout=subprocess.DEVNULL)
        paths.append(path)
    partial_sizes = [len(_zun.partial(_zun.open(p, None, False), _request.build()))
                     for p in paths]

    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1,
                                       processes=True, host="127.0.0.1",
                                       dashboard_address=None, silence_logs=40)
    client = distributed.Client(cluster)
    report = zun.open(paths)
    dask_times, local_times = [], []
    for _ in range(ROUNDS):
        start = time.perf_counter()
        far = zun.distributed.query(paths, client).to_json()
        dask_times.append(time.perf_counter() - start)
        start = time.perf_counter()
        near = report.query(threads=2).to_json()
        local_times.append(time.perf_counter() - start)
        assert far == near
    client.close()
    cluster.close()
    dask_s, local_s = statistics.median(dask_times), statistics.median(local_times)
    print(f"{shards} shards, {report.sample_count} samples")
    print(f"dask on 2 workers:    {dask_s * 1e3:.0f} ms")
    print(f"one process, 2 threads: {local_s * 1e3:.0f} ms")
    print(f"dask / one process:   {dask_s / local_s:.2f}")
    print(f"bytes per shard sent back: {min(partial_sizes)}-{max(partial_sizes)}")


if __name__ == "__main__":
    main()
