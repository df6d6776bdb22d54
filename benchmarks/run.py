"""Runs every benchmarks/bench_*.py module in turn: `make bench`.

Each module exposes run(), which prints its figures as ratios measured side by side
in this one run. Pass module names (e.g. densa_core) to run only those.
"""

import importlib
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent


def main(selected):
    sys.path.insert(0, str(HERE))
    for path in sorted(HERE.glob("bench_*.py")):
        name = path.stem
        if selected and name.removeprefix("bench_") not in selected:
            continue
        print(f"== {name}", flush=True)
        importlib.import_module(name).run()
        print(flush=True)


if __name__ == "__main__":
    main(sys.argv[1:])
