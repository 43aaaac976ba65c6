"""Kinds of objects the safe pickler tests share, and what a pickler made
for one value writes."""
import enum
import io

import pydantic

from tarnwick_collector.data_serialization import pickler


def fresh(value, object_wrapper=True):
    """What a SafePickler made for this one value writes."""
    buffer = io.BytesIO()
    pickler.SafePickler(
        object_wrapper, buffer,
        failure_reducer=pickler.UnpicklableHelpers.__reduce__,
        special_cases=pickler.UnpicklableHelpers.special_cases,
    ).dump(value)
    return buffer.getvalue()


class Color(enum.Enum):
    RED = 1


class Model(pydantic.BaseModel):
    x: int = 1


class MyStr(str):
    pass


class ReducingError(Exception):
    def __reduce__(self):
        return ReducingError, self.args
