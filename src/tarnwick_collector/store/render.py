"""Turning stored records into text and JSON for people.

A record is decoded with the restricted unpickler of ``decoding``: classes
and functions it names are shown by their dotted names, never imported.
The placeholders of the safe pickler (functions by name, modules,
exceptions, objects reduced to the attributes the call used, objects stock
pickling refused) are shown as what they stand for.

This module writes the views ``show``, ``stats`` and ``demo`` print (the
lines of a call, its summary line, its JSON); it builds on

- ``texts``: :class:`Limits`, ints too long for text, escaping for a terminal
  and for JSON;
- ``diffing``: where the arguments before and after a call differ, and the
  order of a set's items;
- ``values``: one decoded value as one line of text;
- ``records``: a stored call decoded into a :class:`RecordView`,

and offers their public names too.
"""
import time
from typing import Any, Dict, List, Optional, Tuple

from tarnwick_collector.store.diffing import Step, find_difference
from tarnwick_collector.store.records import ExternalCallView, RecordView
from tarnwick_collector.store.texts import Limits, int_text, json_ready, safe_text
from tarnwick_collector.store.values import _Renderer, key_text, render_value

__all__ = [
    "Limits", "Step", "ExternalCallView", "RecordView",
    "find_difference", "int_text", "json_ready", "key_text", "safe_text",
    "render_value", "render_text", "render_summary_line", "to_json",
]

def _stamp(ts: float) -> str:
    try:
        return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(ts)) + \
            f".{int((ts % 1) * 1000):03d}"
    except Exception:  # out of range, or not a number in a damaged store
        return safe_text(ts)


def _size(n: int) -> str:
    if not isinstance(n, (int, float)) or n != n or abs(n) == float("inf"):
        return safe_text(n)
    if n < 1024:
        return f"{n} B"
    if n < 1024 * 1024:
        return f"{n / 1024:.1f} KB"
    return f"{n / (1024 * 1024):.1f} MB"


def render_text(view: RecordView, limits: Optional[Limits] = None,
                show_run: bool = False) -> List[str]:
    """The lines showing one recorded call (with its run id, when
    ``show_run``)."""
    r = _Renderer(limits or Limits())
    name = view.full_name or "(unknown function)"
    run = f"; run {view.session}" if show_run else ""
    lines = [f"#{view.id}  {name}"
             f"   [{view.module or '?'}; {_size(view.size)}; {_stamp(view.received)}{run}]"]
    if view.decode_error and view.args_before is None:
        lines.append(f"  cannot decode: {view.decode_error}")
        return lines

    def args_text(pairs: List[Tuple[str, str]]) -> str:
        return ", ".join(f"{k}={text}" for k, text in pairs) or "(none)"

    texts_before, texts_after, changed = view.argument_texts(r, 1)
    before = args_text(texts_before)
    after = args_text(texts_after)
    lines.append(f"  arguments before: {before}")
    if not changed:
        after = "(unchanged)"
    elif after == before:  # e.g. only which parts are shared changed
        after += "   (changed in a part not shown)"
    lines.append("  arguments after:  " + after)
    gen = view.generator
    if gen is not None:
        lines.append(f"  generator: {_generator_summary(gen)}")
        shown = ", ".join(r.value(v, 1) for v in gen.yielded) or "(none)"
        lines.append(f"  yielded:  {shown}")
    if view.raised is not None:
        lines.append(f"  raised:   {r.value(view.raised)}")
    elif view.has_return:
        lines.append(f"  returned: {r.value(view.returned)}")
    else:
        lines.append("  returned: (not recorded: too large)")
    if view.external_calls:
        lines.append(f"  external calls ({len(view.external_calls)}):")
        for call in view.external_calls:
            if call.raised is not None:
                outcome = "raised " + r.value(call.raised)
            elif call.has_return:
                outcome = "-> " + r.value(call.returned)
            else:
                outcome = "(result not recorded)"
            lines.append(f"    {call.function}(...) {outcome}")
    else:
        lines.append("  external calls: none")
    used = view.used_globals()
    if used:
        lines.append("  globals used: " + ", ".join(f"{k}={r.value(v, 1)}" for k, v in used))
    else:
        lines.append("  globals used: none")
    if view.unknown_modules:
        lines.append("  unknown modules: " + ", ".join(view.unknown_modules))
    return lines


def _generator_summary(gen: Any) -> str:
    """How a generator call went, in one line: its ending and what the
    record does not hold of it."""
    parts = [f"{gen.ending}, {len(gen.yielded)} value(s) yielded"]
    past = gen.left_out - gen.refused
    if past > 0:
        parts.append(f"{past} more past the recorder's bound")
    if gen.refused:
        types = f" ({', '.join(gen.refused_types)})" if gen.refused_types else ""
        parts.append(f"{gen.refused} not recorded{types}")
    if gen.delegated:
        parts.append(f"{gen.delegated} yield from (values not seen)")
    if gen.sends:
        parts.append(f"resumed {gen.sends} time(s) by send()")
    if gen.throws:
        parts.append(f"{gen.throws} throw()")
    return "; ".join(parts)


def render_summary_line(view: RecordView, limits: Optional[Limits] = None) -> str:
    """One line per call: name, arguments and outcome."""
    r = _Renderer(limits or Limits(depth=2, items=3, string=24, width=110))
    args = ", ".join(r.value(v, 1) for _, v in view.arguments("before"))
    if view.raised is not None:
        outcome = "raised " + r.value(view.raised)
    elif view.has_return:
        outcome = "-> " + r.value(view.returned)
    else:
        outcome = "-> (too large)"
    extra = f"  [{len(view.external_calls)} external]" if view.external_calls else ""
    if view.generator is not None:
        gen = view.generator
        outcome = (f"yielded {len(gen.yielded)}"
                   f"{'+' if gen.left_out or gen.delegated else ''}, {gen.ending}"
                   + ("" if gen.ending in ("closed", "abandoned") else f" {outcome}"))
    return _clip(f"{view.full_name}({args}) {outcome}{extra}", r.limits.width)


def _clip(text: str, width: int) -> str:
    if width and len(text) > width:
        return text[: width - 3] + "..."
    return text


def _outcome(raised: Any, has_return: bool) -> str:
    if raised is not None:
        return "raised"
    return "returned" if has_return else "not recorded"


def to_json(view: RecordView, limits: Optional[Limits] = None) -> Dict[str, Any]:
    """A JSON-ready dict of one recorded call (see ``json_values`` for how
    values are written; the texts of the stored columns are escaped as
    ``json_ready`` does)."""
    from tarnwick_collector.store.json_values import JsonValues

    # The texts of values JSON cannot hold summarize them; their parts are
    # in the value's other fields.
    given = limits or Limits(width=0)
    r = _Renderer(Limits(depth=min(given.depth, 2), items=min(given.items, 5),
                         string=given.string, width=given.width))
    values = JsonValues(r, view.size)
    changed = view.arguments_changed
    if changed is None:  # the record does not tell: compare the values
        _, _, changed = view.argument_texts(
            _Renderer(Limits(depth=0, items=1, string=1, width=1)))
    doc = json_ready({
        "id": view.id,
        "run": view.session,
        "received": view.received,
        "function": view.full_name,
        "module": view.module,
        "path": view.full_path,
        "size": view.size,
        "decode_error": view.decode_error,
    })
    doc.update({
        "arguments_before": {k: values.value(v) for k, v in view.arguments("before")},
        "arguments_after": {k: values.value(v) for k, v in view.arguments("after")},
        "arguments_changed": changed,
        "outcome": _outcome(view.raised, view.has_return),
        "returned": (values.value(view.returned)
                     if view.raised is None and view.has_return else None),
        "raised": values.value(view.raised) if view.raised is not None else None,
        "external_calls": [
            {
                "function": c.function,
                "outcome": _outcome(c.raised, c.has_return),
                "returned": (values.value(c.returned)
                             if c.raised is None and c.has_return else None),
                "raised": values.value(c.raised) if c.raised is not None else None,
            }
            for c in view.external_calls
        ],
        "globals": {k: values.value(v) for k, v in view.used_globals()},
        "unknown_modules": view.unknown_modules,
        "generator": None if view.generator is None else {
            "ending": view.generator.ending,
            "yielded": [values.value(v) for v in view.generator.yielded],
            "left_out": view.generator.left_out,
            "refused": view.generator.refused,
            "refused_types": view.generator.refused_types,
            "delegated": view.generator.delegated,
            "sends": view.generator.sends,
            "throws": view.generator.throws,
        },
    })
    return doc
