"""Frames, locals(), signatures and other introspection."""
import inspect
import pickle
import sys


def with_locals(a, b=2, *rest, key=None, **extra):
    c = a + b
    return sorted(locals().items(), key=lambda kv: kv[0])


def frame_info():
    frame = sys._getframe()
    return frame.f_code.co_name, frame.f_lineno, sys._getframe(1).f_code.co_name


def caller_name():
    return inspect.stack()[1].function


def uses_vars():
    x = 1
    y = "two"
    return {k: v for k, v in vars().items()}


def dynamic_eval(n):
    return eval("n * 2"), [eval("x", {"x": n}) for _ in range(1)]


def exec_locals():
    ns = {}
    exec("z = 5", globals(), ns)
    return ns


class Shape:
    def area(self):
        """Area of the shape."""
        return 0

    def __repr__(self):
        return "Shape()"


def module_level(x: int, /, y: "str" = "s", *, z: float = 1.0) -> bool:
    return True


def main():
    print(with_locals(1, 3, 4, key="k", more=1))
    print(frame_info())
    print(caller_name())
    print(uses_vars())
    print(dynamic_eval(4), exec_locals())
    print(inspect.signature(module_level), module_level.__annotations__)
    print(inspect.getfullargspec(with_locals))
    print(module_level.__code__.co_varnames, module_level.__code__.co_argcount,
          with_locals.__code__.co_nlocals, with_locals.__code__.co_names)
    print(Shape.area.__doc__, Shape.area.__qualname__, Shape.area.__module__)
    print(pickle.loads(pickle.dumps(module_level)) is module_level)
    print(inspect.getsource(Shape.area).strip().splitlines()[0])
    print(inspect.isfunction(with_locals), inspect.isgeneratorfunction(with_locals))
    print(module_level.__defaults__, module_level.__kwdefaults__)


main()
