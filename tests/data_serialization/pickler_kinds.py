"""Objects for the safe-pickling round trips that must live in a module of
their own: a generator's frame carries its module's globals, which are
kept plain here."""


def countdown(n):
    while n > 0:
        yield n
        n -= 1
