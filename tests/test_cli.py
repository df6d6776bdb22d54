import subprocess
import sys

import numpy as np

from varnex.__main__ import main
from varnex.demo import run_demo


def test_demo_labels_every_point_and_recovers_the_blobs():
    lines = []
    final = run_demo(n_samples=600, seed=1, out=lines.append)
    assert final.dtype == np.int32 and final.min() >= 0
    assert lines[-1].startswith("  overall accuracy") and float(lines[-1].split()[-1].rstrip("%")) > 95


def test_command_line_runs_the_demo():
    run = subprocess.run([sys.executable, "-m", "varnex", "demo", "--samples", "400"],
                         capture_output=True, text=True, check=True)
    assert "densa_postprocess" in run.stdout
    assert main(["demo", "--samples", "300", "--seed", "2"]) == 0
