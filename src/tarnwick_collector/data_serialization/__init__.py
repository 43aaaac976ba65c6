"""Serialization of what the recording core sends.

- ``pickler``: the safe pickler, which writes what stock pickling refuses
  (functions and classes by name, modules, exceptions, objects reduced to
  their used attributes, placeholders of unpicklable objects) and redacts
  secrets;
- ``varnock``: the serializer interface;
- ``quessel``: the pickle-based serializer of the channels' messages;
- ``tarn_pickle`` (with the compiled ``_tarn_pickle``): the C pickler with
  a per-object hook, so that a failing object is replaced before a byte of
  it is written;
- ``utils``: small helpers of the pickler.
"""
