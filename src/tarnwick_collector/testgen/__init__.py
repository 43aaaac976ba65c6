"""Regression tests from recorded calls: ``tarnwick generate-tests``.

The generator reads the store the way ``show`` does (through the restricted
decoding, which imports and runs nothing of the recorded program) and writes
pytest modules that use ``tarnwick_collector.replay`` at run time.
"""
from tarnwick_collector.testgen.generate import DEFAULT_PER_FUNCTION, HEADER, Report, generate

__all__ = ["generate", "Report", "HEADER", "DEFAULT_PER_FUNCTION"]
