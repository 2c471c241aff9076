"""Shared test machinery: leak checks, thread runs and comparable forms of results."""
import gc
import logging
import os
import sys
import threading
import tracemalloc

CALLS = int(os.environ.get("ASKWEAVE_LEAK_CALLS", "200000"))
# Under the sanitizers' allocator resident memory says nothing about leaks.
CHECK_RSS = not os.environ.get("ASKWEAVE_SANITIZED") and os.path.exists("/proc/self/statm")


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def assert_flat(round_trip, calls=CALLS):
    """Runs round_trip(i) about `calls` times. Neither Python blocks (objects kept
    alive by a lost reference) nor resident memory (native allocations) may grow with
    the number of calls, and a traced window must show no growth either."""
    # Diagnostics still run, but end at the "askweave" logger: a capturing handler
    # above it (pytest's) keeps every record, which would look like growth.
    logger, end = logging.getLogger("askweave"), logging.NullHandler()
    propagate, logger.propagate = logger.propagate, False
    logger.addHandler(end)
    try:
        _assert_flat(round_trip, calls)
    finally:
        logger.removeHandler(end)
        logger.propagate = propagate


def _assert_flat(round_trip, calls):
    # Interpreter free lists and caches fill during the first calls of any kind; warm
    # them before counting.
    warm = max(calls // 20, 1_000)
    for i in range(warm):
        round_trip(i)
    gc.collect()
    blocks, rss = sys.getallocatedblocks(), rss_bytes() if CHECK_RSS else 0
    for i in range(warm, calls):
        round_trip(i)
    gc.collect()
    block_growth = sys.getallocatedblocks() - blocks
    rss_growth = rss_bytes() - rss if CHECK_RSS else 0

    # The traced window runs the same calls twice and counts only the second pass:
    # blocks taken from free lists filled before tracing started look like new ones
    # on the first pass. What is left is noise of a few tens of KB that does not
    # grow with the window.
    window = max(min(calls // 2, 10_000), 100)
    tracemalloc.start()
    try:
        for i in range(window):
            round_trip(i)
        gc.collect()
        snapshot = tracemalloc.take_snapshot()
        for i in range(window):
            round_trip(i)
        gc.collect()
        traced = sum(s.size_diff for s in tracemalloc.take_snapshot().compare_to(snapshot, "filename"))
    finally:
        tracemalloc.stop()
    # One leaked object per twenty calls, 32 native bytes per call or one traced
    # object per call (over 2,000 calls; every other call over 10,000) would fail.
    assert block_growth < max(calls // 20, 1_000), block_growth
    assert rss_growth < 32 * calls, rss_growth
    assert traced < max(16 * window, 131_072), traced


def run_in_threads(work, n=8):
    """Runs work(k) for k in range(n), each on its own thread, all started together."""
    barrier = threading.Barrier(n)

    def start(k):
        barrier.wait()
        work(k)

    threads = [threading.Thread(target=start, args=(k,)) for k in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def plain(value):
    """A comparable form of a resolution: NaN equals itself, ints of any length are
    written out, map order is kept."""
    from pyref.turnlens import _int_text

    if isinstance(value, dict):
        return ("map", [(plain(k), plain(v)) for k, v in value.items()])
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, [plain(v) for v in value])
    if type(value) is int:
        return ("int", _int_text(value))
    return repr(value)
