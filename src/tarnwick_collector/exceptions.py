"""Exceptions shared by the recording core and the safe pickler."""


class ProblematicPickleException(Exception):
    """An object the safe pickler refuses to write.

    Built with one message string that names the offending class in single
    quotes, so that ``str(exc).split("'")[2]`` is its dotted class name.
    """
