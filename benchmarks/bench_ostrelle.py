"""Cost of a cached metadata lookup, as the pickler makes it for every
function it meets: ``extract_function_metadata(f, dont_cache=True)`` on a
callable whose record is already cached, against a plain ``dict.get`` of a
record by the same key, measured in the same run."""
import timeit

from tarnwick_collector.data_collection.ostrelle import Ostrelle

NUMBER = 200_000
REPEAT = 7


def sample(x):
    return x + 1


class Sample:
    def method(self):
        return self


def best_ns(stmt, namespace):
    """Best time of one execution of `stmt`, in nanoseconds."""
    timer = timeit.Timer(stmt, globals=namespace)
    return min(timer.repeat(repeat=REPEAT, number=NUMBER)) / NUMBER * 1e9


def main():
    extract = Ostrelle.extract_function_metadata
    bound = Sample().method
    records = {sample: extract(sample), Sample.method: extract(bound)}
    namespace = {
        "extract": extract, "get": records.get, "f": sample, "m": bound,
    }
    assert extract(sample, dont_cache=True) is records[sample]
    assert extract(bound, dont_cache=True) is records[Sample.method]

    baseline = best_ns("get(f)", namespace)
    rows = [
        ("dict.get (baseline)", baseline),
        ("cached function", best_ns("extract(f, dont_cache=True)", namespace)),
        ("cached bound method", best_ns("extract(m, dont_cache=True)", namespace)),
    ]
    print(f"{'lookup':<24}{'ns/call':>10}{'ratio':>8}")
    for name, ns in rows:
        print(f"{name:<24}{ns:>10.1f}{ns / baseline:>8.2f}")


if __name__ == "__main__":
    main()
