"""Closures, nonlocal, global declarations, late binding."""
counter_total = 0


def make_counter(start=0):
    count = start

    def incr(step=1):
        nonlocal count
        count += step
        return count

    def get():
        return count

    return incr, get


def make_adders():
    adders = []
    for i in range(3):
        adders.append(lambda x, i=i: x + i)
    late = [lambda x: x + i for i in range(3)]
    return adders, late


def bump_global(n):
    global counter_total
    for _ in range(n):
        counter_total += 1
    return counter_total


def outer():
    x = "outer"

    def middle():
        def inner():
            return x + "!"
        return inner()

    class Holder:
        x = "class-level"

        def method(self):
            return x

        value = [x for _ in range(1)]

    return middle(), Holder().method(), Holder.x, Holder.value


def shadow(len=len):
    def f(seq):
        return len(seq) * 2
    return f


def cell_after_del():
    y = 1

    def read():
        return y

    r1 = read()
    y = 2
    return r1, read()


def main():
    incr, get = make_counter(10)
    print(incr(), incr(5), get())
    adders, late = make_adders()
    print([a(10) for a in adders], [f(10) for f in late])
    print(bump_global(3), bump_global(2), counter_total)
    print(outer())
    print(shadow()([1, 2, 3]), shadow(lambda s: 100)([1]))
    print(cell_after_del())
    print(make_counter.__code__.co_varnames, incr.__code__.co_freevars)
    print(incr.__closure__[0].cell_contents)


main()
