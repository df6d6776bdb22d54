"""Command line of varnex: ``varnex demo`` and ``varnex fit`` (also ``python -m varnex``).

Every failure ends in one line on stderr: exit status 1 for a problem with the data,
the options or the system, 2 for a command line argparse cannot parse, 130 after
Ctrl-C. SIGTERM and SIGHUP remove the temporary output file, then end the process
by that same signal.
"""

import argparse
import importlib.util
import os
import re
import signal
import sys
import threading
import time
import warnings

# Inputs with at least this many rows report each stage on stderr.
PROGRESS_ROWS = 10_000
DEMO_MIN_SAMPLES = 10
SEED_LIMIT = 2**32   # the seeds NumPy's legacy generators (and scikit-learn's data sets) take

# The options of each method and the estimator parameter each one sets: the one place
# where an option's name and its parameter's may differ. Only options given on the
# command line are passed, so the estimator's defaults apply otherwise.
METHOD_OPTIONS = {
    "density": {"eps": "eps", "min_samples": "min_samples", "threshold": "threshold",
                "postprocess": "postprocess", "growth": "growth"},
    "graph": {"n_neighbors": "n_neighbors", "propagation": "propagation", "max_iter": "max_iter", "tol": "tol",
              "algorithm": "algorithm", "n_probes": "n_probes", "random_state": "random_state"},
}
# Parameters the command line sets where the estimator's default would not do: a run
# gives the same output every time, the approximate search included.
METHOD_DEFAULTS = {"density": {}, "graph": {"random_state": 0}}
METHOD_ESTIMATORS = {"density": ("varnex.density", "DensityClustering"),
                     "graph": ("varnex.propagation", "KNNLabelPropagation")}
# A value of each parameter a metric needs, for the message that asks for it.
METRIC_EXAMPLES = {"V": "[1,4]", "VI": "[[1,0],[0,4]]", "w": "[1,4]"}
# Rows whose class probabilities are taken at a time for the confidence column.
CONFIDENCE_ROWS = 65536
# What to change when a fit runs out of memory.
MEMORY_HINTS = {"density": "a smaller --eps keeps fewer neighbours per row",
                "graph": "a smaller --n-neighbors keeps fewer neighbours per row"}


class _CommandError(Exception):
    """A failure to report as one line, with exit status 1."""


class _Terminated(BaseException):
    """A termination signal, raised where the process stands so that clean-up runs."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        # One line, not argparse's usage block: the usage is one --help away.
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def _build_parser():
    from varnex import __version__

    parser = _Parser(prog="varnex",
                     description="Semi-supervised clustering and label propagation with a native core.")
    parser.add_argument("--version", action="version", version=f"varnex {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=_Parser)

    demo = commands.add_parser(
        "demo", help="compare both estimators with scikit-learn's on built-in data",
        description="Run DensityClustering and KNNLabelPropagation beside scikit-learn's LabelSpreading and "
                    "DBSCAN on a generated two-moons set and on the bundled digits set, a few percent of each "
                    "labelled, and print their accuracy on the unlabelled samples and their fit time.")
    demo.add_argument("--samples", type=int, default=1000,
                      help=f"size of the two-moons set, at least {DEMO_MIN_SAMPLES} (default 1000)")
    demo.add_argument("--seed", type=int, default=0,
                      help=f"random seed for data and labels, 0 to {SEED_LIMIT - 1} (default 0)")
    demo.add_argument("--plot", metavar="FILE.png",
                      help="draw the two-moons results to FILE.png (needs matplotlib: pip install 'varnex[plot]')")

    fit = commands.add_parser(
        "fit", help="label the unlabelled rows of a CSV file",
        description="Read a numeric CSV file with a column of labels, fit one of the estimators and write the "
                    "rows with a column of predicted labels. A label cell marks its row unlabelled when it is "
                    "blank, reads as the number -1 (-1, -1.0, -1e0), or is a missing-value text (NA, N/A, NaN, "
                    "null, <NA>, #N/A, in any case); any other text is a class, written back exactly. Every "
                    "other column is a feature, unless --features or --exclude says otherwise; an unnamed "
                    "first column of distinct whole numbers from 0 is taken as a row index and left out.")
    fit.add_argument("input", metavar="INPUT.csv",
                     help="the CSV file to read, or - for standard input; its first line names the columns "
                          "(see --no-header)")
    fit.add_argument("--label-column", required=True, metavar="NAME",
                     help="the column holding the known labels (with --no-header: its position, from 1)")
    fit.add_argument("--method", required=True, choices=list(METHOD_OPTIONS),
                     help="density: DensityClustering; graph: KNNLabelPropagation")
    fit.add_argument("--output", required=True, metavar="OUT.csv",
                     help="where to write the table: a file (replaced atomically), a device or FIFO (written in "
                          "place), or - for standard output; never the input file")
    fit.add_argument("--prediction-column", default="predicted", metavar="NAME",
                     help="name of the added column (default: predicted)")
    fit.add_argument("--no-header", dest="header", action="store_false",
                     help="the first line is a row, not column names: columns are named by position (1, 2, ...) "
                          "and the output has no header either")
    columns = fit.add_mutually_exclusive_group()
    columns.add_argument("--features", metavar="A,B,...", help="the feature columns, by name (default: every "
                                                             "column but the label column)")
    columns.add_argument("--exclude", metavar="A,B,...",
                         help="columns that are not features, such as identifiers; they need not be numeric "
                              "and are written back as read")
    fit.add_argument("--delimiter", metavar="CHAR",
                     help="the cell separator: one character, or 'tab' (default: found from the file among "
                          "comma, semicolon, tab and |)")
    fit.add_argument("--metric", help="distance metric, any of scikit-learn's NearestNeighbors but precomputed "
                                      "and nan_euclidean, or inner_product with --method graph (default: "
                                      "euclidean)")
    fit.add_argument("--metric-params", metavar="PARAMS",
                     help="parameters of the metric, as a JSON object or as key=value pairs separated by commas, "
                          "values in JSON: 'VI=[[1,0],[0,4]]' for mahalanobis, 'V=[1,4]' for seuclidean")
    fit.add_argument("--p", type=int, help="Minkowski exponent when --metric minkowski (default 2)")
    fit.add_argument("--n-jobs", type=int, default=-1, metavar="N",
                     help="parallel jobs of the neighbour searches: -1 every core (the default), -2 all but one, "
                          "...; 1 none")
    density = fit.add_argument_group("density method")
    density.add_argument("--eps", type=radius, help="neighbourhood radius, or auto to choose it from the labels "
                                                     "(default 0.5)")
    density.add_argument("--min-samples", type=int,
                         help="neighbourhood size that makes a core sample (default 5)")
    density.add_argument("--threshold", type=int,
                         help="dissolve new clusters below this identifier, -1 or lower (default -1: every new "
                              "cluster)")
    density.add_argument("--no-postprocess", dest="postprocess", action="store_false", default=None,
                         help="keep samples outside a known class unlabelled (-1)")
    density.add_argument("--growth", choices=["synchronous", "sequential"],
                         help="how clusters that meet share samples: by distance, whatever the row order "
                              "(synchronous, the default), or the first in row order keeps them (sequential)")
    graph = fit.add_argument_group("graph method")
    graph.add_argument("--n-neighbors", type=int, help="neighbours per sample in the graph (default 7)")
    graph.add_argument("--propagation", choices=["synchronous", "sequential"],
                       help="how a sweep reads the labels: of the previous sweep, whatever the row order "
                            "(synchronous, the default), or as given, in row order (sequential)")
    graph.add_argument("--algorithm", choices=["auto", "kd_tree", "ball_tree", "brute", "approximate"],
                       help="neighbour search (default auto: the fastest exact one, or approximate on many rows "
                            "in many features, where exact search is slow)")
    graph.add_argument("--n-probes", type=int, metavar="N",
                       help="cells searched per cell by the approximate search: more is slower and nearer "
                            "exact (default 16)")
    graph.add_argument("--random-state", type=int, metavar="SEED",
                       help="seed of the approximate search's cells (default 0)")
    graph.add_argument("--max-iter", type=int, help="propagation sweeps at most (default 50000)")
    graph.add_argument("--tol", type=float, help="propagation convergence threshold (default 1e-3)")
    graph.add_argument("--confidence", nargs="?", const="confidence", metavar="NAME",
                       help="add a column (named NAME, default confidence) with the share of the predicted class "
                            "among the votes of each row's nearest samples: a row is its own nearest, so it "
                            "reads 1 unless identical rows carry other labels, blank if left unlabelled")
    noise = fit.add_mutually_exclusive_group()
    noise.add_argument("--verbose", action="store_true", help="report every stage on stderr")
    noise.add_argument("--quiet", action="store_true",
                       help=f"report nothing on stderr (by default stages and the searches' progress are "
                            f"reported when stderr is a terminal or the input has {PROGRESS_ROWS} rows or more)")
    return parser


def _option(dest):
    return "--" + {"postprocess": "no-postprocess"}.get(dest, dest.replace("_", "-"))


def _check_fit_options(args):
    """Refuse, before any file is opened, options the chosen method would not use or accept."""
    for method, options in METHOD_OPTIONS.items():
        if method != args.method:
            for dest in options:
                if getattr(args, dest) is not None:
                    raise _CommandError(f"{_option(dest)} is an option of --method {method}, "
                                        f"not of --method {args.method}")
    if args.confidence is not None and args.method != "graph":
        raise _CommandError(f"--confidence is an option of --method graph, not of --method {args.method}")
    if args.metric == "precomputed":
        raise _CommandError("--metric precomputed needs a matrix of distances, which a CSV file of samples "
                            "does not hold; choose a named metric such as euclidean or cosine")
    if args.metric == "nan_euclidean":
        raise _CommandError("--metric nan_euclidean is for missing values, and a feature cell must hold a "
                            "number; with every value present it is euclidean: use --metric euclidean")
    if args.n_jobs == 0:
        raise _CommandError("--n-jobs must be a number of jobs, or -1 for every core (-2 all but one, ...), "
                            "not 0")
    from varnex._estimator import _METRIC_NEEDS

    args.metric_params = _metric_params(args.metric_params)
    needs = _METRIC_NEEDS.get(args.metric)
    if needs and not any(key in (args.metric_params or {}) for key in needs):
        raise _CommandError(f"--metric {args.metric} needs --metric-params with {' or '.join(needs)}, for "
                            f"example --metric-params '{needs[0]}={METRIC_EXAMPLES[needs[0]]}'")
    if args.delimiter is not None:
        args.delimiter = {"tab": "\t", "\\t": "\t"}.get(args.delimiter, args.delimiter)
        if len(args.delimiter) != 1 or args.delimiter in "\"\r\n":
            raise _CommandError(f"--delimiter must be one character (or 'tab'), got {args.delimiter!r}")


def _metric_params(text):
    """The --metric-params text as a dict: a JSON object, or key=value pairs whose values
    are JSON (a value that is not JSON is kept as its text); lists become arrays."""
    import json

    import numpy as np

    if text is None:
        return None
    if text.lstrip().startswith("{"):
        try:
            params = json.loads(text)
        except json.JSONDecodeError as error:
            raise _CommandError(f"--metric-params is not a JSON object: {error}") from None
        if not isinstance(params, dict):
            raise _CommandError("--metric-params must be a JSON object or key=value pairs")
    else:
        params = {}
        # Split at the commas that start a new key, not at those inside a list value.
        for pair in re.split(r",(?=\s*[A-Za-z_]\w*\s*=)", text):
            key, equals, value = pair.partition("=")
            if not equals or not re.fullmatch(r"\s*[A-Za-z_]\w*\s*", key):
                raise _CommandError(f"--metric-params must be a JSON object or key=value pairs, got {pair.strip()!r}")
            try:
                params[key.strip()] = json.loads(value)
            except json.JSONDecodeError:
                params[key.strip()] = value.strip()
    for key, value in params.items():
        if isinstance(value, list):
            try:
                params[key] = np.asarray(value, dtype=np.float64)
            except (ValueError, TypeError):   # not a numeric array: the metric says what it wants
                pass
    return params


def _estimator(args, verbose):
    import importlib

    module, name = METHOD_ESTIMATORS[args.method]
    parameters = dict(METHOD_DEFAULTS[args.method])
    parameters.update({parameter: getattr(args, dest) for dest, parameter in METHOD_OPTIONS[args.method].items()
                       if getattr(args, dest) is not None})
    for dest in ("metric", "p", "metric_params", "n_jobs"):
        if getattr(args, dest) is not None:
            parameters[dest] = getattr(args, dest)
    return getattr(importlib.import_module(module), name)(verbose=verbose, **parameters)


def _check_estimator_parameters(args):
    """Refuse, before any file is opened, option values the estimator would refuse."""
    from varnex._estimator import check_parameters

    try:
        check_parameters(_estimator(args, verbose=0))
    except ValueError as error:
        # "The 'eps' parameter of DensityClustering must be ..." names the option instead.
        message = re.sub(r"^The '(\w+)' parameter of \w+", lambda m: _option(m.group(1)), str(error))
        raise _CommandError(message) from None


def radius(text):
    # argparse names this function in its errors: "invalid radius value: 'x'".
    return text if text == "auto" else float(text)


def _fit(args):
    import numpy as np

    from varnex._output import Output, OutputError
    from varnex._table import CsvInput, TableError, looks_like_row_index

    _check_fit_options(args)
    _check_estimator_parameters(args)
    try:
        output = Output(args.output)
        if output.is_file(args.input):
            raise _CommandError(f"the output {args.output} is the input file; choose another output path"
                                if output.kind != "stdout" else
                                "standard output is the input file; redirect it elsewhere or give --output a path")
        start = time.perf_counter()
        with CsvInput(args.input, args.delimiter, header=args.header) as table:
            label_column = table.column_index(args.label_column)
            added = [args.prediction_column] + ([args.confidence] if args.confidence is not None else [])
            for name in added if table.has_header else ():
                if name in table.names:
                    option = "--prediction-column" if name == args.prediction_column else "--confidence NAME"
                    raise _CommandError(f"{table.name} already has a column {name!r}; choose another name for "
                                        f"the added column with {option}")
            features = _feature_columns(args, table, label_column)
            X, y, classes = table.read(label_column, features)
            for doubt in table.label_doubts:
                warnings.warn(doubt)
            # --exclude leaves it in: an unnamed column cannot be named there.
            leading = features is None or (args.features is None and features[0] == 0)
            if leading and table.names[0] == "" and label_column != 0 and looks_like_row_index(X[:, 0]):
                if X.shape[1] == 1:
                    raise _CommandError(f"{table.name} has no feature column besides the label column and an "
                                        "unnamed row index in column 1")
                warnings.warn("column 1 has no name and holds distinct whole numbers from 0: taken as a row index "
                              "(as data frames write it) and left out of the features; name it to use it as one")
                X = np.ascontiguousarray(X[:, 1:])
            if not classes:
                raise _CommandError(f"{table.name} has no labelled row: column {args.label_column!r} is blank, "
                                    "-1 or a missing value in every row")
            verbose = args.verbose or (not args.quiet and (X.shape[0] >= PROGRESS_ROWS or _stderr_is_terminal()))
            _report(verbose, f"read {X.shape[0]} rows and {X.shape[1]} features in "
                             f"{time.perf_counter() - start:.2f} s")
            estimator = _fit_estimator(args, X, y, verbose)
            predicted = np.asarray(estimator.transduction_, dtype=np.int64)
            # Unlabelled rows (-1) take the last entry.
            columns = [np.array(classes + ["-1"], dtype=object)[predicted]]
            if args.confidence is not None:
                columns.append(_confidence(estimator, X, predicted))
            del X

            start = time.perf_counter()
            try:
                with output.open() as file:
                    table.write_with_columns(file, added, columns)
            except BrokenPipeError:
                raise
            except OSError as error:
                raise _CommandError(f"cannot write {output.name}: {error.strerror or error}") from None
            _report(verbose, f"wrote {output.name} in {time.perf_counter() - start:.2f} s")
    except (TableError, OutputError) as error:
        raise _CommandError(str(error)) from None


def _feature_columns(args, table, label_column):
    """Indices of the feature columns --features or --exclude name; None for the default."""
    if args.features is None and args.exclude is None:
        return None
    option = "--features" if args.features is not None else "--exclude"
    named = table.columns(name.strip() for name in (args.features or args.exclude).split(","))
    if label_column in named:
        raise _CommandError(f"{option} names the label column {args.label_column!r}")
    features = named if args.features is not None else [k for k in range(table.width)
                                                          if k != label_column and k not in named]
    if not features:
        raise _CommandError(f"{option} leaves no feature column")
    return features


def _fit_estimator(args, X, y, verbose):
    """The chosen estimator, fitted."""
    estimator = _estimator(args, verbose)
    try:
        return estimator.fit(X, y)
    except MemoryError:
        raise _CommandError(f"{args.method} fit ran out of memory: {MEMORY_HINTS[args.method]}") from None
    except (ValueError, TypeError) as error:
        raise _CommandError(f"{args.method} fit failed: {type(error).__name__}: {error}") from None


def _confidence(estimator, X, predicted):
    """The probability `predict_proba` gives each row's predicted class, as text; blank
    where the row was left unlabelled. Taken in blocks: the whole table of
    probabilities holds a number per row and class."""
    import numpy as np

    cells = np.empty(X.shape[0], dtype=object)
    for start in range(0, X.shape[0], CONFIDENCE_ROWS):
        rows = slice(start, start + CONFIDENCE_ROWS)
        proba = estimator.predict_proba(X[rows])
        classes = predicted[rows]
        shares = proba[np.arange(proba.shape[0]), np.maximum(classes, 0)]
        cells[rows] = [f"{share:.6g}" if k >= 0 else "" for share, k in zip(shares, classes)]
    return cells


def _stderr_is_terminal():
    try:
        return sys.stderr.isatty()
    except (AttributeError, ValueError):   # replaced or closed
        return False


def _report(verbose, message):
    if verbose:
        print(f"varnex: {message}", file=sys.stderr, flush=True)


def _demo(args):
    if args.samples < DEMO_MIN_SAMPLES:
        raise _CommandError(f"--samples must be at least {DEMO_MIN_SAMPLES}, got {args.samples}")
    if not 0 <= args.seed < SEED_LIMIT:
        raise _CommandError(f"--seed must be from 0 to {SEED_LIMIT - 1}, got {args.seed}")
    if args.plot:
        if importlib.util.find_spec("matplotlib") is None:
            raise _CommandError("--plot needs matplotlib, which is not installed: pip install 'varnex[plot]'")
        from varnex._output import Output, OutputError

        try:
            Output(args.plot)
        except OutputError as error:
            raise _CommandError(str(error)) from None
    from varnex.demo import run_demo

    run_demo(n_moons=args.samples, seed=args.seed, plot=args.plot)


def _raise_terminated(signum, frame):
    raise _Terminated(signum)


def _show_warning(message, category, filename, lineno, file=None, line=None):
    print(f"varnex: warning: {str(message).strip().splitlines()[0]}", file=sys.stderr)


def main(argv=None):
    """Run the command line with `argv` (default: ``sys.argv[1:]``); return the exit status."""
    handled = (signal.SIGTERM, signal.SIGHUP) if threading.current_thread() is threading.main_thread() else ()
    previous = {signum: signal.signal(signum, _raise_terminated) for signum in handled}
    try:
        args = _build_parser().parse_args(argv)
        with warnings.catch_warnings():
            # A warning of the estimators is one line too, without the source line.
            warnings.showwarning = _show_warning
            (_demo if args.command == "demo" else _fit)(args)
    except _CommandError as error:
        # One line: the first line of the message is the one that matters.
        message = str(error).strip().splitlines()[0] if str(error).strip() else type(error).__name__
        print(f"varnex: error: {message}", file=sys.stderr)
        return 1
    except MemoryError:
        print("varnex: error: out of memory; free memory or use a smaller input", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader of the output stopped reading (`| head`): end quietly, as the
        # standard tools do, with the status of a process ended by SIGPIPE.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 128 + signal.SIGPIPE
    except KeyboardInterrupt:
        print("varnex: interrupted", file=sys.stderr)
        return 130
    except _Terminated as terminated:
        # The temporary file is gone; end by the signal itself, as the sender expects.
        signal.signal(terminated.signum, signal.SIG_DFL)
        os.kill(os.getpid(), terminated.signum)
        return 128 + terminated.signum   # if the signal is blocked
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)
    return 0


if __name__ == "__main__":
    sys.exit(main())
