"""Values pickled while the program is deep in its own recursion."""
import pickle
import sys

from tarnwick_collector.data_serialization.pickler import safe_pickle


class Plain:
    def __init__(self):
        self.items = [1, {"k": (2, 3)}]


def _frames():
    frame, count = sys._getframe(), 0
    while frame is not None:
        frame, count = frame.f_back, count + 1
    return count


def test_a_value_pickled_near_the_recursion_limit_is_written_whole():
    def descend(n):
        if n:
            return descend(n - 1)
        return safe_pickle({"record": Plain(), "depth": n})

    # Leave the dump fewer nested calls than the value needs on its own.
    room = 12
    data = descend(sys.getrecursionlimit() - _frames() - room)
    loaded = pickle.loads(data)
    assert type(loaded["record"]) is Plain
    assert loaded["record"].items == [1, {"k": (2, 3)}]
