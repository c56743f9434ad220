"""The benchmark's entry point: `python bench/__main__.py ARGS` (what run.sh and pyperf's workers run) or `python -m bench`."""

import os
import sys

if not __package__:
    # Run as a file, Python puts bench/ first on sys.path: the checkout's root
    # takes its place, so that `bench` imports as a package and its modules
    # shadow no others.
    sys.path[0] = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

from bench.cli import main  # noqa: E402

if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
