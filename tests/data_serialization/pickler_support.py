"""Kinds of objects the safe pickler tests share."""
import enum

import pydantic


class Color(enum.Enum):
    RED = 1


class Model(pydantic.BaseModel):
    x: int = 1


class MyStr(str):
    pass


class ReducingError(Exception):
    def __reduce__(self):
        return ReducingError, self.args
