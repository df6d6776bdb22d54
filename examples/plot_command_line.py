"""
The command line on a CSV file
==============================

``varnex fit`` reads a CSV file whose label column is blank on unlabelled rows, and
writes every row back with a column ``predicted``. Here a file is written, the command
runs in a subprocess (as from a shell), and its output file is read back.
"""

import csv
import os
import subprocess
import sys
import tempfile

import matplotlib.pyplot as plt
import numpy as np
from sklearn.datasets import make_blobs

folder = tempfile.mkdtemp()
source = os.path.join(folder, "plants.csv")
target = os.path.join(folder, "labelled.csv")

X, truth = make_blobs(n_samples=300, centers=3, cluster_std=1.0, random_state=4)
species = np.array(["fern", "moss", "palm"])[truth]
with open(source, "w", newline="") as out:
    writer = csv.writer(out)
    writer.writerow(["height", "width", "species"])
    for i, (height, width) in enumerate(X):
        writer.writerow([f"{height:.3f}", f"{width:.3f}", species[i] if i % 25 == 0 else ""])

with open(source) as lines:
    print("".join(next(lines) for _ in range(4)))

# %%
# The same command as in a shell: ``varnex fit plants.csv --label-column species ...``
command = [sys.executable, "-m", "varnex", "fit", source, "--label-column", "species",
           "--method", "graph", "--n-neighbors", "7", "--output", target]
result = subprocess.run(command, capture_output=True, text=True)
print("exit status", result.returncode, result.stderr)

with open(target) as lines:
    rows = list(csv.DictReader(lines))
print(list(rows[0]))
predicted = np.array([row["predicted"] for row in rows])
print("agrees with the truth on", f"{np.mean(predicted == species):.3f}", "of the rows")

# %%
# The rows coloured by the predicted column; circled: the rows that carried a name.
fig, ax = plt.subplots(figsize=(6, 4.5))
for name, colour in zip(["fern", "moss", "palm"], ["tab:green", "tab:olive", "tab:brown"]):
    chosen = predicted == name
    ax.scatter(*X[chosen].T, s=12, c=colour, label=name)
ax.scatter(*X[::25].T, s=90, facecolor="none", edgecolor="k", label="named in the file")
ax.set_xlabel("height")
ax.set_ylabel("width")
ax.legend(fontsize=8)
ax.set_title("varnex fit --method graph")
