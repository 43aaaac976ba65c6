"""``python -m tarnwick_collector``: the ``tarnwick`` command line."""
import sys

from tarnwick_collector.cli import main

if __name__ == "__main__":
    sys.exit(main())
