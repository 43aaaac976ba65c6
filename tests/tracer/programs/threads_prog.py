"""Threads: workers, locks, thread-locals, executors."""
import concurrent.futures
import threading

local = threading.local()
lock = threading.Lock()
totals = {}


def work(name, n):
    local.name = name
    acc = 0
    for i in range(n):
        acc += square(i)
    with lock:
        totals[name] = acc
    return local.name, acc


def square(x):
    return x * x


class Counter:
    def __init__(self):
        self.value = 0
        self.lock = threading.Lock()

    def add(self, k):
        for _ in range(k):
            with self.lock:
                self.value += 1


def main():
    threads = [threading.Thread(target=work, args=(f"t{i}", 200 + i)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print(sorted(totals.items()))
    c = Counter()
    ts = [threading.Thread(target=c.add, args=(500,)) for _ in range(4)]
    for t in ts:
        t.start()
    for t in ts:
        t.join()
    print(c.value)
    with concurrent.futures.ThreadPoolExecutor(max_workers=3) as ex:
        results = list(ex.map(lambda a: work(*a), [("p1", 10), ("p2", 20), ("p3", 30)]))
    print(results)
    print(hasattr(local, "name"))


main()
