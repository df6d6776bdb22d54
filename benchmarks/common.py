"""Helpers shared by the benchmarks: best-of timing and peak memory in a fresh process."""

import json
import subprocess
import sys
import time


def best_time(fn, repeat=3):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def side_by_side(fns, repeat=3):
    """Best time of each callable, the callables taking turns so drift hits all alike."""
    best = [float("inf")] * len(fns)
    for _ in range(repeat):
        for i, fn in enumerate(fns):
            start = time.perf_counter()
            fn()
            best[i] = min(best[i], time.perf_counter() - start)
    return best


def peak_memory_mib(setup, statement):
    """Growth of the peak resident set while `statement` runs, after `setup`, in MiB.

    Each measurement runs in a fresh interpreter so earlier peaks do not mask it.
    """
    code = (
        "import gc, json\n"
        "def status(key):\n"
        "    for line in open('/proc/self/status'):\n"
        "        if line.startswith(key + ':'):\n"
        "            return int(line.split()[1])\n"
        f"{setup}\n"
        "gc.collect()\n"
        "open('/proc/self/clear_refs', 'w').write('5')  # restart the peak at the current size\n"
        "base = status('VmRSS')\n"
        f"{statement}\n"
        "print(json.dumps((status('VmHWM') - base) / 1024))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def time_and_peak(setup, statement, repeat=1):
    """Best time of `statement` over `repeat` runs and the growth of the peak resident
    set during its first run (MiB), in a fresh interpreter after `setup`."""
    code = (
        "import gc, json, time\n"
        "def status(key):\n"
        "    for line in open('/proc/self/status'):\n"
        "        if line.startswith(key + ':'):\n"
        "            return int(line.split()[1])\n"
        f"{setup}\n"
        "gc.collect()\n"
        "open('/proc/self/clear_refs', 'w').write('5')\n"
        "base = status('VmRSS')\n"
        "times = []\n"
        f"for run in range({repeat}):\n"
        "    start = time.perf_counter()\n"
        + "".join(f"    {line}\n" for line in statement.splitlines()) +
        "    times.append(time.perf_counter() - start)\n"
        "    if run == 0:\n"
        "        peak = (status('VmHWM') - base) / 1024\n"
        "print(json.dumps([min(times), peak]))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True)
    return tuple(json.loads(out.stdout.strip().splitlines()[-1]))
