"""Callables whose calls are never recorded as external calls: they have no
side effects and their results follow from their arguments, so a generated
test may simply let them run.

What stays here: functions whose result follows from their arguments and
that change nothing but, for the methods of the builtin containers, their
receiver (which the caller's record holds). What does not: ``next`` (it
advances an iterator the caller may not hold), ``id`` and ``hash`` (their
results depend on the process: addresses, the hash seed), ``vars`` (the
live namespace), and ``functools.partial``: a call of a partial object
carries that name, whatever function the partial calls.
"""
from typing import FrozenSet


def _names(module: str, *names: str) -> FrozenSet[str]:
    return frozenset(f"{module}.{name}" for name in names)


_BUILTIN_FUNCTIONS = _names(
    "builtins",
    "abs", "all", "any", "ascii", "bin", "callable", "chr", "divmod",
    "format", "getattr", "hasattr", "hex", "isinstance",
    "issubclass", "iter", "len", "max", "min", "oct", "ord", "pow",
    "repr", "round", "sorted", "sum", "zip", "map", "filter",
    "enumerate", "reversed", "range", "slice",
    "bool", "int", "float", "complex", "str", "bytes", "bytearray", "list",
    "tuple", "dict", "set", "frozenset", "object", "type", "super",
    "property", "staticmethod", "classmethod", "memoryview",
)

_STR_METHODS = _names(
    "builtins.str",
    "capitalize", "casefold", "center", "count", "encode", "endswith",
    "expandtabs", "find", "format", "format_map", "index", "isalnum",
    "isalpha", "isascii", "isdecimal", "isdigit", "isidentifier", "islower",
    "isnumeric", "isprintable", "isspace", "istitle", "isupper", "join",
    "ljust", "lower", "lstrip", "partition", "removeprefix", "removesuffix",
    "replace", "rfind", "rindex", "rjust", "rpartition", "rsplit", "rstrip",
    "split", "splitlines", "startswith", "strip", "swapcase", "title",
    "translate", "upper", "zfill", "maketrans",
)

_BYTES_METHODS = _names(
    "builtins.bytes",
    "decode", "endswith", "find", "hex", "index", "join", "lower", "replace",
    "split", "startswith", "strip", "upper", "fromhex",
)

_CONTAINER_METHODS = (
    _names("builtins.list", "append", "extend", "insert", "pop", "remove",
           "index", "count", "sort", "reverse", "copy", "clear")
    | _names("builtins.dict", "get", "keys", "values", "items", "pop",
             "popitem", "setdefault", "update", "copy", "clear", "fromkeys")
    | _names("builtins.set", "add", "discard", "remove", "pop", "union",
             "intersection", "difference", "symmetric_difference", "update",
             "issubset", "issuperset", "isdisjoint", "copy", "clear")
    | _names("builtins.frozenset", "union", "intersection", "difference",
             "issubset", "issuperset", "isdisjoint", "copy")
    | _names("builtins.tuple", "index", "count")
    | _names("builtins.int", "to_bytes", "from_bytes", "bit_length")
    | _names("builtins.float", "is_integer", "hex", "fromhex")
)

_STDLIB = (
    _names("math", "sqrt", "floor", "ceil", "fabs", "pow", "exp", "log",
           "log2", "log10", "sin", "cos", "tan", "isclose", "isnan", "isinf",
           "gcd", "factorial", "hypot", "fsum", "prod", "comb", "perm",
           "trunc", "copysign", "degrees", "radians")
    | _names("json", "dumps", "loads")
    | _names("copy", "copy", "deepcopy")
    | _names("functools", "reduce")
    | _names("operator", "itemgetter", "attrgetter", "add", "sub", "mul",
             "truediv", "eq", "lt", "le", "gt", "ge", "not_")
    | _names("itertools", "chain", "islice", "product", "permutations",
             "combinations", "groupby", "count", "repeat", "accumulate")
    | _names("re", "compile", "match", "search", "fullmatch", "sub", "split",
             "findall", "escape")
    | _names("posixpath", "join", "basename", "dirname", "splitext", "split",
             "normpath")
    | _names("collections", "OrderedDict", "defaultdict", "namedtuple",
             "Counter", "deque")
    | _names("dataclasses", "asdict", "astuple", "replace")
    | _names("string", "capwords")
)


class ShouldMockConsts:
    """Names the recording core consults when deciding what to mock."""

    #: Full names (as ``get_function_full_name`` forms them) of callables
    #: whose calls are never recorded.
    STATELESS_EXTERNAL_FULL_NAMES: FrozenSet[str] = (
        _BUILTIN_FUNCTIONS | _STR_METHODS | _BYTES_METHODS | _CONTAINER_METHODS
        | _STDLIB
    )
