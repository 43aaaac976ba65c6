"""Three workloads of small project calls for the per-call cost benchmark:
float arithmetic, a graph of small objects, and calls into json, re and
datetime. `python calls.py KIND N MODE` runs one; MODE "naive" runs it
under a minimal sys.setprofile recorder that pickles each call's locals
and return value (what one would write by hand)."""
import datetime
import json
import re
import sys


def scale(x, k):
    return x * k + 0.5

def norm(a, b):
    return (a * a + b * b) ** 0.5

def arith(n):
    t = 0.0
    for i in range(n):
        t += norm(scale(float(i), 1.5), 2.0)
    return t

class Node:
    def __init__(self, name, weight):
        self.name = name
        self.weight = weight
        self.edges = []

def link(a, b):
    a.edges.append(b)
    return len(a.edges)

def total_weight(node):
    return node.weight + sum(e.weight for e in node.edges)

def graph(n):
    # Small clusters of four: a call's arguments reach a few objects, as in
    # most programs, and not a chain that grows with n (whose pickling per
    # call would grow too, and run into the recursion limit).
    nodes = [Node(f"n{i}", i) for i in range(n)]
    for i in range(1, n):
        if i % 4:
            link(nodes[i - 1], nodes[i])
        else:
            link(nodes[i], nodes[i - 3])
    # A loop, not a generator expression: the baseline recorder would
    # pickle the generator's iterator, the whole list, at every step.
    total = 0
    for x in nodes:
        total += total_weight(x)
    return total

WORD = re.compile(r"\w+")

def encode(d):
    return json.dumps(d)

def words(s):
    return WORD.findall(s)

def stamp(y, m, d):
    return datetime.date(y, m, d).isoformat()

def stdlib(n):
    out = 0
    for i in range(n):
        out += len(encode({"i": i})) + len(words("a b c")) + len(stamp(2024, 1, 1 + i % 28))
    return out

if __name__ == "__main__":
    kind, n, mode = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    fn = {"arith": arith, "graph": graph, "stdlib": stdlib}[kind]
    if mode == "naive":
        import pickle
        log: list = []
        def prof(frame, event, arg):
            if frame.f_code.co_filename != __file__:
                return
            if event == "call":
                log.append(pickle.dumps(dict(frame.f_locals)))
            elif event == "return":
                try:
                    log.append(pickle.dumps(arg))
                except Exception:
                    log.append(None)
        sys.setprofile(prof)
    fn(n)
    sys.setprofile(None)
