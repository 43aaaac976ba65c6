"""The recording core: the compiled modules the tracer calls while the
program runs, and the map of attributes recorded code read.

- ``marrowick``: the recording entry points (a user call's start and end,
  external calls, the name-load hooks, size limits);
- ``pellory``: the record of one call and a function's metadata record;
- ``trindle``: which recorded call is current on each thread, and the
  external calls and globals gathered under it;
- ``ostrelle``: classifies a callable, builds and caches its metadata
  record, and holds the native lookup maps;
- ``metrics``: the metric vocabularies and metric records;
- ``used_attributes_collector``: the attribute names recorded calls read,
  per object.
"""
