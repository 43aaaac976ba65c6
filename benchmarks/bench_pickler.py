"""Cost of safe pickling against the C ``pickle.dumps``, cloudpickle and dill.

Every pickler writes the same corpus of values that the collector records
(containers of atoms; a nested structure of 10,000 elements; 1,000 plain
class instances; dates, UUIDs and paths; and the kinds stock pickling
refuses: a lock, an open file, a generator, a local function, a lambda, a
socket), with the same protocol. Each pickler runs in a process of its own,
since importing dill changes the tables of the standard pure-Python pickler.
The processes take turns batch by batch, so that every pickler meets the
same load on the machine, and each keeps its best time per item. The
table gives the best time of ``pickle.dumps`` per item and, for
each other pickler, its ratio to that time measured in the same run; ``raised``
marks an item on which a pickler raised (its time is then the time to
raise). ``tarn_pickle`` is the base pickler alone, with a ``reducer_override``
written in Python that returns ``NotImplemented`` and a failure reducer.

``replacement`` is ``pickle.dumps`` writing what ``safe_pickle`` writes
for the item, loaded back and so already built (for a refused object, its
placeholder with the type's text, the named methods and the attribute
values; a function named for re-import is loaded as an object that reduces
to that same name). The targets are checked against a floor: that time,
plus, on an item ``pickle.dumps`` refuses, the time ``pickle.dumps`` takes
to find that out, since a pickler that writes the placeholder must first
meet the refusal. Where a target is below the floor the table says so.
"""
import datetime
import io
import json
import pathlib
import socket
import subprocess
import sys
import threading
import time
import uuid

PROTOCOL = 4
REPEAT = 25
MIN_SECONDS = 0.004

PICKLERS = ["pickle.dumps", "safe_pickle", "tarn_pickle", "replacement",
            "cloudpickle", "dill"]


class Record:
    """A plain class, as the recorded programs are full of."""

    def __init__(self, i):
        self.ident = i
        self.name = f"record-{i}"
        self.score = i * 0.5
        self.tags = ["a", "b"]


def _nested(total):
    """A nested structure of atoms and containers with `total` elements."""
    out = []
    count = 0
    i = 0
    while count < total:
        out.append({
            "id": i, "name": f"n{i}", "ratio": i / 7, "flag": i % 2 == 0,
            "pair": (i, None), "tags": [f"t{i}", b"b", i * 3],
            "inner": {"x": [i, i + 1], "y": {i, -i}},
        })
        count += 17
        i += 1
    return out


def _local_function():
    def local(x):
        return x

    return local


def corpus():
    """The items, as (name, value, cleanup) triples."""
    handle = open(__file__, "rb")
    sock = socket.socket()
    base = datetime.datetime(2024, 5, 17, 12, 30)
    return [
        ("containers of atoms", {
            "args": [1, 2.5, "three", None, True, b"six"],
            "kwargs": {"user": "ann", "limit": 10, "ids": (1, 2, 3)},
            "rows": [[i, str(i), i / 3] for i in range(30)],
        }, None),
        ("nested 10,000 elements", _nested(10_000), None),
        ("1,000 instances", [Record(i) for i in range(1000)], None),
        ("dates, UUIDs, paths", [
            [base + datetime.timedelta(days=i), (base + datetime.timedelta(days=i)).date(),
             datetime.timedelta(seconds=i), uuid.UUID(int=i * 7919),
             pathlib.PurePosixPath(f"/srv/data/{i}.csv"), pathlib.Path(f"/tmp/{i}")]
            for i in range(100)
        ], None),
        ("lock", {"state": [1, 2], "lock": threading.Lock()}, None),
        ("open file", {"state": [1, 2], "file": handle}, handle.close),
        ("generator", {"state": [1, 2], "gen": (i for i in range(3))}, None),
        ("local function", {"state": [1, 2], "fn": _local_function()}, None),
        ("lambda", {"state": [1, 2], "fn": lambda x: x}, None),
        ("socket", {"state": [1, 2], "sock": sock}, sock.close),
    ]


def _make_dumps(name):
    """The function that pickles one value with the pickler `name`."""
    if name == "pickle.dumps":
        import pickle

        return lambda obj: pickle.dumps(obj, PROTOCOL)
    if name == "safe_pickle":
        from tarnwick_collector.data_serialization.pickler import safe_pickle

        return safe_pickle
    if name == "tarn_pickle":
        from tarnwick_collector.data_serialization import tarn_pickle

        class Trivial(tarn_pickle.Pickler):
            def reducer_override(self, obj):
                return NotImplemented

        def failure_reducer(obj):
            return str, (repr(type(obj)),)

        def dumps(obj):
            buffer = io.BytesIO()
            Trivial(buffer, PROTOCOL, failure_reducer=failure_reducer).dump(obj)
            return buffer.getvalue()

        return dumps
    if name == "replacement":
        import pickle

        from tarnwick_collector.data_serialization.pickler import safe_pickle

        built = {}

        def dumps(obj):
            # Built at the first call, which the timing leaves out.
            if id(obj) not in built:
                loader = _replacement_loader()(io.BytesIO(safe_pickle(obj)))
                built[id(obj)] = loader.load()
            return pickle.dumps(built[id(obj)], PROTOCOL)

        return dumps
    if name == "cloudpickle":
        import cloudpickle

        return lambda obj: cloudpickle.dumps(obj, PROTOCOL)
    if name == "dill":
        import dill

        return lambda obj: dill.dumps(obj, PROTOCOL)
    raise ValueError(name)


class _ByName:
    """Stands for a function that safe_pickle named for re-import, and is
    written as that same name."""

    __slots__ = ("name",)

    def __init__(self, name):
        self.name = name

    def __reduce__(self):
        import jsonpickle.unpickler

        return jsonpickle.unpickler.loadclass, (self.name,)

    def __call__(self, *args):
        return _Called(self, args)


class _Called:
    """Stands for what a call of a named function built, and is written as
    that same call."""

    __slots__ = ("function", "args")

    def __init__(self, function, args):
        self.function = function
        self.args = args

    def __reduce__(self):
        return self.function, self.args


def _replacement_loader():
    import pickle

    class Loader(pickle.Unpickler):
        def find_class(self, module, name):
            if (module, name) == ("jsonpickle.unpickler", "loadclass"):
                return _ByName
            return super().find_class(module, name)

    return Loader


class _Timer:
    """Times one pickler on the corpus, a batch of calls at a time."""

    def __init__(self, name):
        self.dumps = _make_dumps(name)
        self.items = corpus()
        self.errors = {}

    def once(self, index):
        item, value, _ = self.items[index]
        try:
            self.dumps(value)
        except Exception as exc:  # noqa: BLE001 - reported, not hidden
            self.errors[item] = f"{type(exc).__name__}: {exc}"

    def batch(self, index, number):
        """Seconds per call over `number` calls."""
        start = time.perf_counter()
        for _ in range(number):
            self.once(index)
        return (time.perf_counter() - start) / number

    def calibrate(self, index):
        """How many calls make one batch of at least MIN_SECONDS. A first
        call is made beforehand: it may import modules or build caches,
        and counted in, it would leave the batch at one cold call."""
        self.once(index)
        number = 1
        while self.batch(index, number) * number < MIN_SECONDS:
            number *= 2
        return number


def worker(name):
    """Serves timing requests for one pickler, a JSON line per request:
    ["calibrate", i], ["batch", i, number], ["errors"], ["close"]."""
    try:
        timer = _Timer(name)
    except ImportError as exc:
        print(json.dumps({"unavailable": str(exc)}), flush=True)
        return
    print(json.dumps({"ready": len(timer.items)}), flush=True)
    for line in sys.stdin:
        request = json.loads(line)
        if request[0] == "calibrate":
            answer = timer.calibrate(request[1])
        elif request[0] == "batch":
            answer = timer.batch(request[1], request[2])
        elif request[0] == "errors":
            answer = timer.errors
        else:
            break
        print(json.dumps(answer), flush=True)
    for _, _, cleanup in timer.items:
        if cleanup is not None:
            cleanup()


class _Worker:
    """A worker process for one pickler."""

    def __init__(self, name):
        self.proc = subprocess.Popen(
            [sys.executable, __file__, "--worker", name],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
        )
        hello = json.loads(self.proc.stdout.readline() or "{}")
        self.unavailable = hello.get("unavailable", None if "ready" in hello
                                     else "the worker did not start")

    def ask(self, *request):
        self.proc.stdin.write(json.dumps(request) + "\n")
        self.proc.stdin.flush()
        return json.loads(self.proc.stdout.readline())

    def close(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write(json.dumps(["close"]) + "\n")
                self.proc.stdin.close()
            except OSError:
                pass
        self.proc.wait()


def measure():
    """Best seconds per call and errors, per pickler and item. The
    picklers' processes take turns batch by batch, so that all of them see
    the same load on the machine, and each keeps its best batch."""
    workers = {name: _Worker(name) for name in PICKLERS}
    try:
        live = {n: w for n, w in workers.items() if w.unavailable is None}
        measured = {n: {"unavailable": w.unavailable}
                    for n, w in workers.items() if w.unavailable is not None}
        items = [item for item, _, _ in corpus_names()]
        best = {n: {} for n in live}
        for index, item in enumerate(items):
            numbers = {n: w.ask("calibrate", index) for n, w in live.items()}
            for _ in range(REPEAT):
                for n, w in live.items():
                    seconds = w.ask("batch", index, numbers[n])
                    best[n][item] = min(best[n].get(item, seconds), seconds)
        for n, w in live.items():
            errors = w.ask("errors")
            measured[n] = {item: {"seconds": best[n][item],
                                  "error": errors.get(item)}
                           for item in items}
        return measured
    finally:
        for w in workers.values():
            w.close()


def main():
    measured = measure()
    for name in PICKLERS:
        if "unavailable" in measured[name]:
            print(f"{name}: not measured ({measured[name]['unavailable']})")
    base = measured["pickle.dumps"]
    items = [item for item, _, _ in corpus_names()]
    others = [n for n in PICKLERS[1:] if "unavailable" not in measured[n]]
    header = f"{'item':<24}{'pickle.dumps':>14}" + "".join(
        f"{n:>14}" for n in others)
    print(f"protocol {PROTOCOL}; pickle.dumps in microseconds, the others as "
          f"ratios to it (* = raised)")
    print(header)
    for item in items:
        row = f"{item:<24}{base[item]['seconds'] * 1e6:>13.1f}"
        row += "*" if base[item]["error"] else " "
        for n in others:
            r = measured[n][item]
            ratio = r["seconds"] / base[item]["seconds"]
            row += f"{ratio:>13.2f}" + ("*" if r["error"] else " ")
        print(row)
    print()
    print("raised:")
    for n in PICKLERS:
        if "unavailable" in measured[n]:
            continue
        errors = [(item, measured[n][item]["error"]) for item in items
                  if measured[n][item]["error"]]
        if not errors:
            print(f"  {n}: nothing")
        for item, error in errors:
            print(f"  {n} on {item}: {error[:100]}")
    if "unavailable" not in measured["safe_pickle"]:
        _print_targets(measured, items)


def _print_targets(measured, items):
    base = measured["pickle.dumps"]
    safe = measured["safe_pickle"]
    have_floor = "unavailable" not in measured["replacement"]
    floor = {}
    if have_floor:
        for i in items:
            seconds = measured["replacement"][i]["seconds"]
            if base[i]["error"]:
                seconds += base[i]["seconds"]
            floor[i] = {"seconds": seconds}

    def ratio(name, item):
        return measured[name][item]["seconds"] / base[item]["seconds"]

    def per_item(text, bound):
        """A target met when safe_pickle takes at most bound(item) on every
        item; the misses are listed, each with the floor's time."""
        missed = [i for i in items if safe[i]["seconds"] > bound(i)]
        lines = []
        for i in missed:
            line = (f"      {i}: {safe[i]['seconds'] * 1e6:.1f} us, target "
                    f"{bound(i) * 1e6:.1f} us")
            if have_floor:
                line += f", floor {floor[i]['seconds'] * 1e6:.1f} us"
                if floor[i]["seconds"] > bound(i):
                    line += " (target below the floor)"
            lines.append(line)
        return text, not missed, lines

    checks = [
        ("within 1.3x of pickle.dumps on the nested structure",
         ratio("safe_pickle", "nested 10,000 elements") <= 1.3, []),
        ("within 2.5x of pickle.dumps on the 1,000 instances",
         ratio("safe_pickle", "1,000 instances") <= 2.5, []),
        ("no exception on any item",
         not any(safe[item]["error"] for item in items), []),
    ]
    if "unavailable" not in measured["cloudpickle"]:
        checks.append(per_item(
            "faster than cloudpickle on every item",
            lambda i: measured["cloudpickle"][i]["seconds"]))
    if "unavailable" not in measured["dill"]:
        checks.append(per_item(
            "at least 10x faster than dill on every item",
            lambda i: measured["dill"][i]["seconds"] / 10))
    print()
    print("safe_pickle targets:")
    for text, ok, lines in checks:
        print(f"  {'met ' if ok else 'MISSED'} {text}")
        for line in lines:
            print(line)


def corpus_names():
    """The corpus without keeping its resources open."""
    items = corpus()
    for _, _, cleanup in items:
        if cleanup is not None:
            cleanup()
    return items


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--worker":
        worker(sys.argv[2])
    else:
        main()
