"""tarnwick_collector: records calls of a running Python application so that
regression tests can be generated from them."""

__version__ = "0.1.0"
