"""Channels carry serialized messages from the recording core to the
subprocesses that store them. Each ``send_message`` call carries exactly one
message (a ``bytes`` object)."""
from tarnwick_collector.channels.memory import InMemoryChannel

__all__ = ["InMemoryChannel"]
