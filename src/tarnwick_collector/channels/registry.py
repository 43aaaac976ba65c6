"""The channels of this process that are still running, and stopping them
all (at interpreter exit, or when a forked child ends)."""
import atexit
import os
import sys
import weakref
from typing import TYPE_CHECKING, Callable, List, Optional

from tarnwick_collector.channels.report import ChannelReport

if TYPE_CHECKING:
    from tarnwick_collector.channels.subprocess_channel import SubprocessChannel

# Channels still running at interpreter exit are stopped then; weakly held
# so that a channel dropped by its owner does not live on.
_LIVE: "weakref.WeakSet[SubprocessChannel]" = weakref.WeakSet()


def _register(channel: "SubprocessChannel") -> None:
    _LIVE.add(channel)


def stop_all(progress: Optional[Callable[[str], None]] = None) -> List[ChannelReport]:
    """Stop every channel of this process that is still running (after
    stopping the recording, whose last metric must still go out)."""
    package = sys.modules.get("tarnwick_collector")
    if package is not None and getattr(package, "is_recording", lambda: False)():
        try:
            package.stop()
        except Exception:
            pass
    reports = []
    for channel in list(_LIVE):
        if channel._pid == os.getpid() and channel._report_obj is None:
            reports.append(channel.stop(progress=progress))
    return reports


atexit.register(stop_all)
