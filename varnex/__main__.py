"""Command line of varnex: ``varnex demo`` and ``varnex fit`` (also ``python -m varnex``).

Every failure ends in one line on stderr: exit status 1 for a problem with the data,
the options or the system, 2 for a command line argparse cannot parse, 130 after
Ctrl-C. SIGTERM and SIGHUP remove the temporary output file, then end the process
by that same signal.
"""

import argparse
import importlib.util
import os
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
                "postprocess": "postprocess"},
    "graph": {"n_neighbors": "n_neighbors", "propagation": "propagation", "max_iter": "max_iter", "tol": "tol"},
}
METHOD_ESTIMATORS = {"density": ("varnex.density", "DensityClustering"),
                     "graph": ("varnex.propagation", "KNNLabelPropagation")}
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
        description="Read a numeric CSV file whose label column is blank or -1 on unlabelled rows, fit one of "
                    "the estimators and write the rows with a column of predicted labels. Every other column is "
                    "a feature. Labels are text: integers of any size or names, written back exactly.")
    fit.add_argument("input", metavar="INPUT.csv", help="the CSV file to read, or - for standard input; its first line names the columns")
    fit.add_argument("--label-column", required=True, metavar="NAME", help="the column holding the known labels")
    fit.add_argument("--method", required=True, choices=list(METHOD_OPTIONS),
                     help="density: DensityClustering; graph: KNNLabelPropagation")
    fit.add_argument("--output", required=True, metavar="OUT.csv",
                     help="where to write the table: a file (replaced atomically), a device or FIFO (written in "
                          "place), or - for standard output; never the input file")
    fit.add_argument("--prediction-column", default="predicted", metavar="NAME",
                     help="name of the added column (default: predicted)")
    fit.add_argument("--delimiter", metavar="CHAR",
                     help="the cell separator: one character, or 'tab' (default: found from the file among "
                          "comma, semicolon, tab and |)")
    fit.add_argument("--metric", help="distance metric, any of scikit-learn's NearestNeighbors but precomputed "
                                      "(default: euclidean)")
    fit.add_argument("--p", type=int, help="Minkowski exponent when --metric minkowski (default 2)")
    density = fit.add_argument_group("density method")
    density.add_argument("--eps", type=float, help="neighbourhood radius (default 0.5)")
    density.add_argument("--min-samples", type=int,
                         help="neighbourhood size that makes a core sample (default 5)")
    density.add_argument("--threshold", type=int,
                         help="dissolve new clusters below this identifier, -1 or lower (default -1: every new "
                              "cluster)")
    density.add_argument("--no-postprocess", dest="postprocess", action="store_false", default=None,
                         help="keep samples outside a known class unlabelled (-1)")
    graph = fit.add_argument_group("graph method")
    graph.add_argument("--n-neighbors", type=int, help="neighbours per sample in the graph (default 7)")
    graph.add_argument("--propagation", choices=["synchronous", "sequential"],
                       help="how a sweep reads the labels: of the previous sweep, whatever the row order "
                            "(synchronous, the default), or as given, in row order (sequential)")
    graph.add_argument("--max-iter", type=int, help="propagation sweeps at most (default 50000)")
    graph.add_argument("--tol", type=float, help="propagation convergence threshold (default 1e-3)")
    noise = fit.add_mutually_exclusive_group()
    noise.add_argument("--verbose", action="store_true", help="report every stage on stderr")
    noise.add_argument("--quiet", action="store_true",
                       help=f"report nothing on stderr (by default inputs of {PROGRESS_ROWS} rows or more report "
                            "their stages)")
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
    if args.metric == "precomputed":
        raise _CommandError("--metric precomputed needs a matrix of distances, which a CSV file of samples "
                            "does not hold; choose a named metric such as euclidean or cosine")
    if args.delimiter is not None:
        args.delimiter = {"tab": "\t", "\\t": "\t"}.get(args.delimiter, args.delimiter)
        if len(args.delimiter) != 1 or args.delimiter in "\"\r\n":
            raise _CommandError(f"--delimiter must be one character (or 'tab'), got {args.delimiter!r}")


def _estimator(args, verbose):
    import importlib

    module, name = METHOD_ESTIMATORS[args.method]
    parameters = {parameter: getattr(args, dest) for dest, parameter in METHOD_OPTIONS[args.method].items()
                  if getattr(args, dest) is not None}
    for dest in ("metric", "p"):
        if getattr(args, dest) is not None:
            parameters[dest] = getattr(args, dest)
    return getattr(importlib.import_module(module), name)(verbose=verbose, **parameters)


def _check_estimator_parameters(args):
    """Refuse, before any file is opened, option values the estimator would refuse."""
    import re

    from varnex._estimator import check_parameters

    try:
        check_parameters(_estimator(args, verbose=0))
    except ValueError as error:
        # "The 'eps' parameter of DensityClustering must be ..." names the option instead.
        message = re.sub(r"^The '(\w+)' parameter of \w+", lambda m: _option(m.group(1)), str(error))
        raise _CommandError(message) from None


def _fit(args):
    import numpy as np

    from varnex._output import Output, OutputError
    from varnex._table import CsvInput, TableError

    _check_fit_options(args)
    _check_estimator_parameters(args)
    try:
        output = Output(args.output)
        if output.is_file(args.input):
            raise _CommandError(f"the output {args.output} is the input file; choose another output path")
        start = time.perf_counter()
        with CsvInput(args.input, args.delimiter) as table:
            label_column = table.column_index(args.label_column)
            if args.prediction_column in table.names:
                raise _CommandError(f"{table.name} already has a column {args.prediction_column!r}; "
                                    "choose another name for the predictions with --prediction-column")
            X, y, classes = table.read(label_column)
            if not classes:
                raise _CommandError(f"{table.name} has no labelled row: column {args.label_column!r} is blank "
                                    "or -1 in every row")
            verbose = args.verbose or (not args.quiet and X.shape[0] >= PROGRESS_ROWS)
            _report(verbose, f"read {X.shape[0]} rows and {X.shape[1]} features in "
                             f"{time.perf_counter() - start:.2f} s")
            predicted = _fit_estimator(args, X, y, verbose)
            del X
            # Unlabelled rows (-1) take the last entry.
            texts = np.array(classes + ["-1"], dtype=object)[np.asarray(predicted, dtype=np.int64)]

            start = time.perf_counter()
            try:
                with output.open() as file:
                    table.write_with_column(file, args.prediction_column, texts)
            except BrokenPipeError:
                raise
            except OSError as error:
                raise _CommandError(f"cannot write {output.name}: {error.strerror or error}") from None
            _report(verbose, f"wrote {output.name} in {time.perf_counter() - start:.2f} s")
    except (TableError, OutputError) as error:
        raise _CommandError(str(error)) from None


def _fit_estimator(args, X, y, verbose):
    """The labels the chosen estimator gives every row."""
    estimator = _estimator(args, verbose)
    try:
        return estimator.fit(X, y).transduction_
    except MemoryError:
        raise _CommandError(f"{args.method} fit ran out of memory: {MEMORY_HINTS[args.method]}") from None
    except (ValueError, TypeError) as error:
        raise _CommandError(f"{args.method} fit failed: {type(error).__name__}: {error}") from None


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
