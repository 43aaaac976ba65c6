"""Digests of function code, so a record tells which version of a function
produced it."""
import hashlib
import marshal
import weakref
from types import CodeType
from typing import Any, Callable, Dict, List, Optional, Tuple

#: Functions mapping a code object to the code object it was made from (an
#: instrumented function's code to the code as written), or to None. The
#: digest is taken of the code as written, so instrumentation does not
#: change it.
code_resolvers: List[Callable[[CodeType], Optional[CodeType]]] = []

# Digests already taken, by the identity of the code object digested (code
# objects are immutable, so a digest never goes stale): id -> (weak
# reference to the code, digest). An entry goes when its code object does.
# Identity, not equality: equal code objects may come from different files.
_digests: Dict[int, Tuple["weakref.ref[CodeType]", str]] = {}


def _forget(key: int, ref: "weakref.ref[CodeType]") -> None:
    entry = _digests.get(key)
    if entry is not None and entry[0] is ref:
        del _digests[key]


def _digest(code: CodeType) -> str:
    try:
        # Format 2 has no back-references, whose presence depends on
        # reference counts: the digest must depend on the code alone.
        data = marshal.dumps(code, 2)
    except ValueError:
        data = repr((code.co_code, code.co_consts, code.co_names)).encode()
    try:
        digest = hashlib.md5(data, usedforsecurity=False)
    except TypeError:  # Python 3.8
        digest = hashlib.md5(data)
    return digest.hexdigest()


def get_hash(function_obj: Any) -> Optional[str]:
    """The MD5 hex digest of the function's code object (its bytecode,
    constants, names and layout): any change to the function's code changes
    it. ``None`` for a callable without Python code."""
    code = getattr(function_obj, "__code__", None)
    if code is None:
        return None
    for resolve in code_resolvers:
        original = resolve(code)
        if original is not None:
            code = original
            break
    key = id(code)
    entry = _digests.get(key)
    if entry is not None and entry[0]() is code:
        return entry[1]
    digest = _digest(code)
    if type(code) is CodeType:
        ref = weakref.ref(code, lambda r, key=key: _forget(key, r))  # type: ignore[misc]
        _digests[key] = (ref, digest)
    return digest
