"""Pickling callables that the recording core has already seen."""
import pickle

import pytest

from tarnwick_collector.data_collection.ostrelle import Ostrelle
from tarnwick_collector.data_serialization.pickler import safe_pickle


@pytest.mark.parametrize("func", [len, isinstance, sorted])
def test_builtin_cached_as_not_recorded_still_pickles_by_name(settings, func):
    # What record_external_call does for every callee: an uncached external
    # extraction, which stores (metadata with an empty name, False).
    metadata, for_recording = Ostrelle.extract_function_metadata(func, True)
    assert metadata.full_name == "" and not for_recording
    assert pickle.loads(safe_pickle({"f": func})) == {"f": func}
