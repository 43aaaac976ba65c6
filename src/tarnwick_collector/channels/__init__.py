"""Channels carry serialized messages from the recording core to the
subprocesses that store them. Each ``send_message`` call carries exactly one
message (a ``bytes`` object).

- ``InMemoryChannel``: keeps messages in a list (the default before
  recording starts; tests).
- ``SubprocessChannel``: hands messages to a subprocess that stores them in
  the SQLite record store; ``open_channels`` starts the data and the metrics
  channel of one recording run, ``close_channels`` stops them.

The package's modules:

- ``memory``: ``InMemoryChannel``;
- ``subprocess_channel``: ``SubprocessChannel``, ``open_channels`` and
  ``close_channels``;
- ``condition``: the subprocess channel's condition variable on ``_thread``
  locks;
- ``report``: ``ChannelReport``, what became of a channel's messages;
- ``registry``: the running channels of this process, ``stop_all``;
- ``forks``: what a forked child does with the channels it inherited;
- ``framing``: the frames of the byte stream to a subprocess;
- ``tally``: the block of counters a channel shares with its subprocess;
- ``receiver``: the subprocess's side, which stores what it receives.
"""
from tarnwick_collector.channels.memory import InMemoryChannel
from tarnwick_collector.channels.subprocess_channel import (
    ChannelReport,
    SubprocessChannel,
    close_channels,
    open_channels,
    stop_all,
)

__all__ = [
    "ChannelReport",
    "InMemoryChannel",
    "SubprocessChannel",
    "close_channels",
    "open_channels",
    "stop_all",
]
