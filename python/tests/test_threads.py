"""One Report, many threads: the same answers, and the GIL let go."""

import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import zun

REQUESTS = [dict(), dict(group_by="operation", samples=5), dict(group_by="phase"),
            dict(kind="compute", group_by="tile"), dict(metadata=["layer=3"])]


def test_eight_threads_answer_as_one(big_store):
    report = zun.open(big_store)
    alone = [report.query(**r).to_json() for r in REQUESTS]
    with ThreadPoolExecutor(8) as pool:
        jobs = [pool.submit(lambda r=r: report.query(**r).to_json())
                for _ in range(4) for r in REQUESTS]
        answers = [job.result() for job in jobs]
    assert answers == alone * 4


def test_a_query_lets_the_gil_go(big_store):
    report = zun.open(big_store)
    started = threading.Event()
    done = False

    def ask():
        nonlocal done
        started.set()
        for _ in range(5):
            report.query(group_by="operation")
        done = True

    # No switch on a timer: this thread runs only while the query thread
    # lets the GIL go, which it does inside the query alone; it gives the
    # GIL back at every turn (sleep), so the query thread goes on at once.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(100.0)
    try:
        worker = threading.Thread(target=ask)
        worker.start()
        started.wait()
        spins = 0
        while not done:
            spins += 1
            time.sleep(0)
        worker.join()
    finally:
        sys.setswitchinterval(interval)
    assert spins > 0
