"""Command line: ``python -m varnex demo``."""

import argparse
import sys


def main(argv=None):
    parser = argparse.ArgumentParser(prog="varnex", description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True)
    demo = commands.add_parser("demo", help="cluster a generated data set with a few known labels")
    demo.add_argument("--samples", type=int, default=2000, help="number of points (default 2000)")
    demo.add_argument("--seed", type=int, default=1, help="random seed (default 1)")
    args = parser.parse_args(argv)

    if args.command == "demo":
        from varnex.demo import run_demo

        run_demo(n_samples=args.samples, seed=args.seed)
    return 0


if __name__ == "__main__":
    sys.exit(main())
