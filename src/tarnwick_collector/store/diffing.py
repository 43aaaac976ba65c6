"""Where two decoded values first differ (the arguments before and after a
call), as a path of steps that the value renderer follows to show the
difference even where its limits would leave it out; and the order in
which the items of a set are shown, which both follow."""
# Annotations stay unevaluated: the nested helpers of find_difference are
# defined again at each call, and evaluating their annotations each time
# cost a tenth of reading a store.
from __future__ import annotations

import collections
from typing import Any, List, Optional, Sequence, Tuple

from tarnwick_collector.store.decoding import StandIn, is_call_stand_in
from tarnwick_collector.store.texts import Limits, _Undecodable

#: One step from a value to a part of it: ("item", index) in a sequence or
#: set, ("pair", index) in a dict, ("attr", name), ("arg", index),
#: ("kwarg", index), ("sitem", index), ("entry", index), ("state", None) and
#: ("callee", None) in a stand-in, ("chars", index) in a string or bytes.
Step = Tuple[str, Any]

# Marks, inside a text being built, where a difference to point out lies.
_MARK = "\x00"

# How many parts of two values are compared, at most, to find where they
# differ, and how deep.
_DIFF_BUDGET = 50_000
_DIFF_DEPTH = 100


# Sets of more items than this are shown in their own order: sorting them
# costs a text of every item.
_SORTED_SET_ITEMS = 10_000
_SORT_LIMITS = Limits(depth=2, items=4, string=40, width=120)


def _sort_key(item: Any) -> str:
    # A short text: the whole repr() of an item may be far larger than the
    # stream it came from (parts shared many times over).
    from tarnwick_collector.store.values import _Renderer  # (values imports this module)

    return _Renderer(_SORT_LIMITS).value(item)


def _set_items(v: Any) -> List[Any]:
    """The items of a set in the order they are shown."""
    items = list(v)
    if len(items) > _SORTED_SET_ITEMS:
        return items
    try:
        return sorted(items, key=_sort_key)
    except Exception:
        return items


def _child(node: Any, step: Step) -> Tuple[bool, Any]:
    """(found, the part of ``node`` that ``step`` leads to)."""
    kind, key = step
    try:
        if kind == "item":
            items = _set_items(node) if isinstance(node, (set, frozenset)) else node
            if isinstance(items, (list, tuple, collections.deque)) and 0 <= key < len(items):
                return True, items[key]
        elif kind == "pair":
            if isinstance(node, dict) and 0 <= key < len(node):
                return True, list(node.values())[key]
        elif isinstance(node, StandIn):
            if kind == "attr":
                attrs = node.tw_attributes
                if key in attrs:
                    return True, attrs[key]
            elif kind in ("arg", "sitem"):
                items = node.tw_args if kind == "arg" else node.tw_items
                if 0 <= key < len(items):
                    return True, items[key]
            elif kind in ("kwarg", "entry"):
                pairs = list(node.tw_kwargs.items()) if kind == "kwarg" else node.tw_entries
                if 0 <= key < len(pairs):
                    return True, pairs[key][1]
            elif kind == "state":
                return True, node.tw_state
            elif kind == "callee" and is_call_stand_in(node):
                return True, node.tw_callee  # type: ignore[attr-defined]  # a call stand-in
    except Exception:
        pass
    return False, None


def find_difference(a: Any, b: Any) -> Optional[List[Step]]:
    """Where two decoded values first differ: ``None`` when they are
    alike, else the steps from ``a`` (and ``b``) to the first part that
    differs (``[]``: the values themselves). Stand-ins are alike when they
    stand for the same name with alike contents."""
    budget = [_DIFF_BUDGET]
    seen: set = set()

    def seq(kind: str, xs: Sequence[Any], ys: Sequence[Any],
            depth: int) -> Optional[List[Step]]:
        for i, (x, y) in enumerate(zip(xs, ys)):
            found = diff(x, y, depth + 1)
            if found is not None:
                return [(kind, i)] + found
        if len(xs) != len(ys):
            return [(kind, min(len(xs), len(ys)))]
        return None

    def pairs(kind: str, xs: Sequence[Tuple[Any, Any]], ys: Sequence[Tuple[Any, Any]],
              depth: int) -> Optional[List[Step]]:
        for i, ((kx, vx), (ky, vy)) in enumerate(zip(xs, ys)):
            if diff(kx, ky, depth + 1) is not None:
                return [(kind, i)]
            found = diff(vx, vy, depth + 1)
            if found is not None:
                return [(kind, i)] + found
        if len(xs) != len(ys):
            return [(kind, min(len(xs), len(ys)))]
        return None

    def stand_ins(x: StandIn, y: StandIn, depth: int) -> Optional[List[Step]]:
        found = seq("arg", x.tw_args, y.tw_args, depth)
        if found is None:
            found = pairs("kwarg", list(x.tw_kwargs.items()), list(y.tw_kwargs.items()), depth)
        if found is not None:
            return found
        ax, ay = x.tw_attributes, y.tw_attributes
        for name in list(ax) + [n for n in ay if n not in ax]:
            if name not in ax or name not in ay:
                return [("attr", name)]
            found = diff(ax[name], ay[name], depth + 1)
            if found is not None:
                return [("attr", name)] + found
        if not ax and not ay:
            found = diff(x.tw_state, y.tw_state, depth + 1)
            if found is not None:
                return [("state", None)] + found
        found = seq("sitem", x.tw_items, y.tw_items, depth)
        if found is None:
            found = pairs("entry", x.tw_entries, y.tw_entries, depth)
        if found is None and is_call_stand_in(x):
            inner = diff(x.tw_callee, y.tw_callee,  # type: ignore[attr-defined]  # calls
                         depth + 1)
            found = None if inner is None else [("callee", None)] + inner
        return found

    def diff(x: Any, y: Any, depth: int) -> Optional[List[Step]]:
        budget[0] -= 1
        if x is y:
            return None
        if type(x) is not type(y) or budget[0] < 0 or depth > _DIFF_DEPTH:
            return []
        if isinstance(x, (str, bytes, bytearray)):
            if x == y:
                return None
            n = min(len(x), len(y))
            return [("chars", next((i for i in range(n) if x[i] != y[i]), n))]
        if isinstance(x, (list, tuple, dict, set, frozenset, collections.deque, StandIn)):
            key = (id(x), id(y))
            if key in seen:  # met before on this walk (a cycle or a shared part)
                return None
            seen.add(key)
            if isinstance(x, dict):
                return pairs("pair", list(x.items()), list(y.items()), depth)
            if isinstance(x, StandIn):
                return stand_ins(x, y, depth)
            if isinstance(x, (set, frozenset)):
                return seq("item", _set_items(x), _set_items(y), depth)
            return seq("item", list(x), list(y), depth)
        if isinstance(x, _Undecodable):
            return None if x.reason == y.reason else []
        if isinstance(x, (float, complex)):  # nan, -0.0
            return None if repr(x) == repr(y) else []
        try:
            return None if bool(x == y) else []
        except Exception:
            return []

    try:
        return diff(a, b, 0)
    except RecursionError:
        return []


def _clip_around_mark(text: str, width: int) -> str:
    """``text`` without its mark, cut to ``width`` characters so that the
    marked place stays in view."""
    at = text.find(_MARK)
    if at >= 0:
        text = text.replace(_MARK, "")
    if not width or len(text) <= width:
        return text
    if at < width - width // 4:
        return text[: max(1, width - 3)] + "..."
    head = width // 3
    start = max(head, at - width // 4)
    room = max(1, width - head - 6)
    tail = "..." if start + room < len(text) else ""
    return text[:head] + "..." + text[start: start + room] + tail
