"""Reading the command line's input: a 300,000-row CSV file (about 20 MB) into arrays.

Five features written with ten decimals and a label column, 1% labelled. Each
contender reads the file into a float64 feature array and integer label codes in a
fresh process (its imports included), which reports its time and peak resident set:
- the command line's reader (NumPy's C loadtxt, the csv module where it refuses);
- the same reader on its csv-module path (NumPy before 1.23, or a refused file);
- pandas.read_csv and pyarrow.csv.read_csv, when installed.
"""

import importlib.util
import json
import os
import subprocess
import sys
import tempfile

import numpy as np

N_ROWS, N_FEATURES, LABELLED = 300_000, 5, 0.01

READERS = {
    "varnex (loadtxt)": "from varnex._table import CsvInput\n"
                        "with CsvInput(PATH) as t:\n"
                        "    X, y, classes = t.read(t.column_index('class'))\n",
    "varnex (csv module)": "import varnex._table as table\n"
                           "table.FAST_LOADTXT = False\n"
                           "with table.CsvInput(PATH) as t:\n"
                           "    X, y, classes = t.read(t.column_index('class'))\n",
    "pandas": "import pandas as pd\n"
              "frame = pd.read_csv(PATH, dtype={'class': str}, keep_default_na=False)\n"
              "X = frame.drop(columns='class').to_numpy(np.float64)\n"
              "y = pd.factorize(frame['class'])[0]\n",
    "pyarrow": "import pyarrow as pa, pyarrow.csv as pc\n"
               "table = pc.read_csv(PATH, convert_options=pc.ConvertOptions(\n"
               "    column_types={'class': pa.string()}, strings_can_be_null=False))\n"
               "X = np.column_stack([table.column(c).to_numpy() for c in table.column_names if c != 'class'])\n"
               "y = table.column('class').dictionary_encode().combine_chunks().indices.to_numpy()\n",
}
NEEDS = {"pandas": "pandas", "pyarrow": "pyarrow"}


def write_input(path, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(N_ROWS, N_FEATURES))
    labels = np.where(rng.random(N_ROWS) < LABELLED, rng.integers(0, 10, N_ROWS).astype(str), "")
    with open(path, "w") as file:
        file.write(",".join(f"f{k}" for k in range(N_FEATURES)) + ",class\n")
        for row, label in zip(X, labels):
            file.write(",".join(f"{value:.10f}" for value in row) + f",{label}\n")


def measure(code, path):
    """(seconds, peak resident MiB) of `code` run in a fresh interpreter after importing NumPy."""
    script = (
        "import json, time\nimport numpy as np\n"
        f"PATH = {path!r}\n"
        "start = time.perf_counter()\n"
        f"{code}"
        "seconds = time.perf_counter() - start\n"
        "peak = next(int(line.split()[1]) for line in open('/proc/self/status') if line.startswith('VmHWM:'))\n"
        "assert X.shape[0] == y.shape[0]\n"
        "print(json.dumps([seconds, peak / 1024]))\n"
    )
    out = subprocess.run([sys.executable, "-c", script], check=True, capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def run(out=print, repeat=3):
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "input.csv")
        write_input(path)
        numpy_only = measure("X = y = np.empty(0)\n", path)[1]
        readers = {name: code for name, code in READERS.items()
                   if name not in NEEDS or importlib.util.find_spec(NEEDS[name]) is not None}
        best = {name: [float("inf"), 0.0] for name in readers}
        for _ in range(repeat):   # taking turns, so that drift hits every reader alike
            for name, code in readers.items():
                seconds, peak = measure(code, path)
                best[name] = [min(best[name][0], seconds), max(best[name][1], peak)]
        size = os.path.getsize(path) / 2**20
    numeric = N_ROWS * N_FEATURES * 8 / 2**20
    out(f"CSV reading: {N_ROWS} rows, {N_FEATURES} features + labels, {size:.1f} MiB of text, "
        f"{numeric:.1f} MiB of float64; a bare interpreter with NumPy peaks at {numpy_only:.0f} MiB")
    ours = best["varnex (loadtxt)"][0]
    for name, (seconds, peak) in best.items():
        out(f"  {name:<22} {seconds:6.2f} s (x{seconds / ours:4.1f})   peak {peak:5.0f} MiB   "
            f"growth {(peak - numpy_only) / numeric:4.1f} x the numeric data")
    for name in set(READERS) - set(readers):
        out(f"  {name:<22} not installed")


if __name__ == "__main__":
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    run()
