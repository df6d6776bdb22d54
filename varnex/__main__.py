"""Command line of varnex: ``varnex demo`` and ``varnex fit`` (also ``python -m varnex``)."""

import argparse
import importlib.util
import sys
import time

# Inputs with at least this many rows report each stage on stderr.
PROGRESS_ROWS = 10_000


class _CommandError(Exception):
    """A failure to report as one line, with a non-zero exit status."""


def _build_parser():
    parser = argparse.ArgumentParser(
        prog="varnex", description="Semi-supervised clustering and label propagation with a native core.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    demo = commands.add_parser(
        "demo", help="compare both estimators with scikit-learn's on built-in data",
        description="Run DensityClustering and KNNLabelPropagation beside scikit-learn's LabelSpreading and "
                    "DBSCAN on a generated two-moons set and on the bundled digits set, a few percent of each "
                    "labelled, and print their accuracy on the unlabelled samples and their fit time.")
    demo.add_argument("--samples", type=int, default=1000, help="size of the two-moons set (default 1000)")
    demo.add_argument("--seed", type=int, default=0, help="random seed for data and labels (default 0)")
    demo.add_argument("--plot", metavar="FILE.png",
                      help="draw the two-moons results to FILE.png (needs matplotlib: pip install 'varnex[plot]')")

    fit = commands.add_parser(
        "fit", help="label the unlabelled rows of a CSV file",
        description="Read a numeric CSV file whose label column is blank or -1 on unlabelled rows, fit one of "
                    "the estimators and write the rows with a column of predicted labels. Every other column is "
                    "a feature.")
    fit.add_argument("input", metavar="INPUT.csv", help="the CSV file to read; its first line names the columns")
    fit.add_argument("--label-column", required=True, metavar="NAME", help="the column holding the known labels")
    fit.add_argument("--method", required=True, choices=["density", "graph"],
                     help="density: DensityClustering; graph: KNNLabelPropagation")
    fit.add_argument("--output", required=True, metavar="OUT.csv",
                     help="the CSV file to write (never the input file)")
    fit.add_argument("--prediction-column", default="predicted", metavar="NAME",
                     help="name of the added column (default: predicted)")
    fit.add_argument("--metric", help="distance metric (default: euclidean)")
    fit.add_argument("--p", type=int, help="Minkowski exponent when --metric minkowski (default 2)")
    density = fit.add_argument_group("density method")
    density.add_argument("--eps", type=float, default=0.5, help="neighbourhood radius (default 0.5)")
    density.add_argument("--min-samples", type=int, default=5,
                         help="neighbourhood size that makes a core sample (default 5)")
    density.add_argument("--threshold", type=int, default=-1,
                         help="dissolve clusters below this identifier (default -1: every new cluster)")
    density.add_argument("--no-postprocess", action="store_true",
                         help="keep samples outside a known class unlabelled (-1)")
    graph = fit.add_argument_group("graph method")
    graph.add_argument("--n-neighbors", type=int, default=7, help="neighbours per sample in the graph (default 7)")
    graph.add_argument("--max-iterations", type=int, default=50000, help="propagation sweeps at most (default 50000)")
    graph.add_argument("--tolerance", type=float, default=1e-3, help="propagation convergence threshold (default 1e-3)")
    noise = fit.add_mutually_exclusive_group()
    noise.add_argument("--verbose", action="store_true", help="report every stage on stderr")
    noise.add_argument("--quiet", action="store_true",
                       help=f"report nothing on stderr (by default inputs of {PROGRESS_ROWS} rows or more report "
                            "their stages)")
    return parser


def _estimator(args, verbose):
    common = {"verbose": verbose}
    if args.metric is not None:
        common["metric"] = args.metric
    if args.p is not None:
        common["p"] = args.p
    if args.method == "density":
        from varnex.density import DensityClustering

        return DensityClustering(eps=args.eps, min_samples=args.min_samples, threshold=args.threshold,
                                 postprocess=not args.no_postprocess, **common)
    from varnex.propagation import KNNLabelPropagation

    return KNNLabelPropagation(n_neighbors=args.n_neighbors, max_iterations=args.max_iterations,
                               tolerance=args.tolerance, **common)


def _fit(args):
    from varnex._table import Table, TableError

    def report(message):
        if verbose:
            print(f"varnex: {message}", file=sys.stderr, flush=True)

    try:
        start = time.perf_counter()
        verbose = args.verbose
        table = Table.read(args.input)
        verbose = args.verbose or (not args.quiet and len(table.rows) >= PROGRESS_ROWS)
        table.check_output(args.output, args.prediction_column)
        label_column = table.column_index(args.label_column)
        X = table.features(skip=label_column)
        y = table.labels(label_column)
        if not (y != -1).any():
            raise TableError(f"{args.input} has no labelled row: column {args.label_column!r} is blank or -1 "
                             "in every row")
        report(f"read {X.shape[0]} rows and {X.shape[1]} features in {time.perf_counter() - start:.2f} s")

        estimator = _estimator(args, verbose)
        try:
            predicted = estimator.fit(X, y).transduction_
        except (ValueError, TypeError, SystemError, MemoryError) as error:
            hint = ""
            if isinstance(error, SystemError) and "NO PROGRESS" in str(error):
                hint = (" (some rows cannot be joined to a labelled row through their nearest neighbours: "
                        "raise --n-neighbors or label a row in every separate group)")
            raise _CommandError(f"{args.method} fit failed: {type(error).__name__}: {error}{hint}") from None

        start = time.perf_counter()
        table.write_with_column(args.output, args.prediction_column, predicted.tolist())
        report(f"wrote {args.output} in {time.perf_counter() - start:.2f} s")
    except TableError as error:
        raise _CommandError(str(error)) from None


def main(argv=None):
    """Run the command line with `argv` (default: ``sys.argv[1:]``); return the exit status."""
    args = _build_parser().parse_args(argv)
    try:
        if args.command == "demo":
            if args.plot and importlib.util.find_spec("matplotlib") is None:
                raise _CommandError("--plot needs matplotlib, which is not installed: pip install 'varnex[plot]'")
            from varnex.demo import run_demo

            run_demo(n_moons=args.samples, seed=args.seed, plot=args.plot)
        else:
            _fit(args)
    except _CommandError as error:
        # One line: the first line of the message is the one that matters.
        message = str(error).strip().splitlines()[0] if str(error).strip() else type(error).__name__
        print(f"varnex: error: {message}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
