"""Cost of the native tracer, each figure against a baseline measured in the
same run:

- a pure-Python workload (method calls, attribute and global loads,
  recursion, a comprehension) run plainly; the same workload instrumented
  with recording off, with recording on but every call sampled out, and
  with every call recorded by a core that does nothing (the tracer's own
  share); and the same workload under a minimal ``sys.setprofile`` recorder
  that logs every call (what one would write by hand instead), as ratios
  against the plain run;
- the cost of one recorded call of a small function, through the tracer
  with a core that does nothing (the tracer's own share) and with the real
  recording core (channels that drop messages), against a plain call;
- the cost of one recorded external call (``time.time`` made by a recorded
  function) with the real core, against a plain ``time.time()``;
- a generator of 100 values drained by ``sum``: instrumented with recording
  off and with every call sampled out, recorded with a core that does
  nothing and with the real core, against the plain generator.
"""
import importlib
import os
import sys
import tempfile
import time
import timeit

REPEAT = 5

WORKLOAD = '''
import math
import time

SCALE = 3


class Vec:
    __slots__ = ("x", "y")

    def __init__(self, x, y):
        self.x = x
        self.y = y

    def add(self, other):
        return Vec(self.x + other.x, self.y + other.y)

    def norm(self):
        return math.sqrt(self.x * self.x + self.y * self.y)


def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)


def walk(points):
    acc = Vec(0, 0)
    total = 0.0
    for p in points:
        acc = acc.add(p)
        total += p.norm() * SCALE
    return total, acc


def workload():
    points = [Vec(i, i + 1) for i in range(200)]
    total, acc = walk(points)
    return total + fib(15) + sum([p.x for p in points if p.y % 2])


def tiny(x):
    return x + 1


def countdown(n):
    while n:
        yield n
        n -= 1


def drain(n):
    return sum(countdown(n))


def stamped(n):
    t = 0.0
    for _ in range(n):
        t += time.time()
    return t
'''


class NullChannel:
    def send_message(self, data):
        pass


class NullCore:
    """Entry points that accept every call and do nothing."""

    def __init__(self):
        self.record_user_function_return_value = lambda *a: None
        self.record_external_return_value = lambda *a: None

    def record_user_function_call(self, *args, **kwargs):
        return self

    def record_external_call(self, call, flag=0):
        return self

    def load_global_hook(self, obj, name):
        pass

    def load_attr_hook(self, obj, attr, result):
        pass

    def record_generator_yield(self, value, record, delegated=False):
        return None

    def record_generator_resume(self, record, token, sent=None, thrown=None):
        pass

    def record_generator_return_value(self, *args):
        pass


def best(fn, number):
    return min(timeit.repeat(fn, number=number, repeat=REPEAT)) / number


def interleaved(fns, number):
    """Best time per call of each function, the repeats of all of them
    interleaved so that a slow spell of the machine affects them alike."""
    times = [float("inf")] * len(fns)
    for _ in range(REPEAT):
        for i, fn in enumerate(fns):
            times[i] = min(times[i], timeit.timeit(fn, number=number) / number)
    return times


def load_modules(root):
    """The workload module twice: plain and instrumented."""
    from tarnwick_collector import tracer

    with open(os.path.join(root, "bench_plain.py"), "w") as fh:
        fh.write(WORKLOAD)
    with open(os.path.join(root, "bench_inst.py"), "w") as fh:
        fh.write(WORKLOAD)
    sys.path.insert(0, root)
    importlib.invalidate_caches()
    plain = importlib.import_module("bench_plain")
    tracer.install(root, NullCore())
    inst = importlib.import_module("bench_inst")
    tracer.uninstall()
    return plain, inst


def profile_recorder():
    log = []
    append = log.append

    def recorder(frame, event, arg):
        if event == "call":
            append((frame.f_code.co_name, frame.f_lineno))
    return recorder, log


def main() -> None:
    from tarnwick_collector import tracer
    from tarnwick_collector.tracer import _trampolines

    with tempfile.TemporaryDirectory() as root:
        plain, inst = load_modules(root)
        number = 100
        recorder, log = profile_recorder()

        def profiled():
            sys.setprofile(recorder)
            try:
                plain.workload()
            finally:
                sys.setprofile(None)

        t_plain, t_off, t_profile = interleaved(
            [plain.workload, inst.workload, profiled], number)
        calls_per_run = len(log) // (number * REPEAT)
        print(f"workload: {t_plain * 1e3:.2f} ms plain, "
              f"{calls_per_run} Python calls per run")
        tracer.install(root, NullCore(), sampling_rate=0.0)
        (t_sampled_out,) = interleaved([inst.workload], number)
        tracer.install(root, NullCore(), sampling_rate=1.0)
        (t_null_all,) = interleaved([inst.workload], number // 10)
        tracer.uninstall()
        print(f"  instrumented, recording off     {t_off / t_plain:6.2f}x plain")
        print(f"  recording on, sampling rate 0   {t_sampled_out / t_plain:6.2f}x plain")
        print(f"  every call recorded, no-op core {t_null_all / t_plain:6.2f}x plain")
        print(f"  sys.setprofile call logger      {t_profile / t_plain:6.2f}x plain")

        # One recorded call of a small function.
        n = 50000
        tracer.install(root, NullCore())
        t_tiny, t_null = interleaved([lambda: plain.tiny(1),
                                      lambda: inst.tiny(1)], n)
        tracer.uninstall()
        print(f"recorded call of a small function (plain {t_tiny * 1e9:.0f} ns):")
        print(f"  tracer with a no-op core        {t_null / t_tiny:6.1f}x plain"
              f"  ({(t_null - t_tiny) * 1e6:.2f} us per call)")

        # A generator drained: its call and its 100 yields.
        n = 500
        t_gen_plain, t_gen_off = interleaved(
            [lambda: plain.drain(100), lambda: inst.drain(100)], n)
        tracer.install(root, NullCore(), sampling_rate=0.0)
        (t_gen_sampled_out,) = interleaved([lambda: inst.drain(100)], n)
        tracer.install(root, NullCore())
        (t_gen_null,) = interleaved([lambda: inst.drain(100)], n // 5)
        tracer.uninstall()
        print(f"generator of 100 values drained (plain {t_gen_plain * 1e6:.1f} us):")
        print(f"  instrumented, recording off     {t_gen_off / t_gen_plain:6.2f}x plain")
        print(f"  recording on, sampling rate 0   "
              f"{t_gen_sampled_out / t_gen_plain:6.2f}x plain")
        print(f"  recorded, no-op core            {t_gen_null / t_gen_plain:6.2f}x plain"
              f"  ({(t_gen_null - t_gen_plain) / 100 * 1e9:.0f} ns per yield)")

        try:
            from tarnwick_collector.configs.collector_settings import (
                CollectorSettings,
            )
            from tarnwick_collector.data_collection import marrowick
        except ImportError:
            print("  (recording core not built: real-core figures skipped)")
            return
        CollectorSettings.data_subprocess = NullChannel()
        CollectorSettings.metrics_subprocess = NullChannel()
        project = tracer.Project(root)
        project.add_file(inst.__file__)
        project.modules.add("bench_inst")
        CollectorSettings.project_files = project.files
        CollectorSettings.project_path = root
        tracer.install_project(project, marrowick)
        n = 2000
        t_real = best(lambda: inst.tiny(1), n)
        stamped_n = 20
        t_stamped0 = best(lambda: inst.stamped(0), n // 4)
        t_stamped = best(lambda: inst.stamped(stamped_n), n // 4)
        t_gen_real = best(lambda: inst.drain(100), 20)
        tracer.uninstall()
        t_time = best(time.time, 200000)
        per_external = (t_stamped - t_stamped0) / stamped_n
        print(f"  real recording core             {t_real / t_tiny:6.1f}x plain"
              f"  ({t_real * 1e6:.1f} us per call)")
        print(f"recorded external call time.time() (plain {t_time * 1e9:.0f} ns):")
        print(f"  real recording core             {per_external / t_time:6.1f}x plain"
              f"  ({per_external * 1e6:.1f} us per call)")
        print(f"generator of 100 values drained, real recording core "
              f"{t_gen_real / t_gen_plain:6.1f}x plain  ({t_gen_real * 1e6:.0f} us per call)")
        print(f"  contained core failures: {_trampolines.contained_failures()}")


if __name__ == "__main__":
    main()
