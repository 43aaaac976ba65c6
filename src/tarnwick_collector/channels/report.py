"""What became of the messages one channel was sent (:class:`ChannelReport`),
and the note of a delivery summary as the store keeps it."""
import re
from dataclasses import dataclass
from typing import Optional, Tuple


@dataclass
class ChannelReport:
    """What became of the messages one channel was sent."""

    channel: str
    session: str
    sent: int = 0
    stored: int = 0
    dropped_full: int = 0
    dropped_down: int = 0
    restarts: int = 0
    note: Optional[str] = None
    #: Messages a subprocess received but could not store, and why.
    unstored: int = 0
    unstored_reason: Optional[str] = None

    @property
    def lost(self) -> int:
        """Accepted messages that the store does not hold for no known
        reason (in flight when a subprocess died)."""
        return max(0, self.sent - self.stored - self.dropped_full - self.dropped_down
                   - self.unstored)

    @property
    def missing(self) -> int:
        """Every message sent but not stored."""
        return max(0, self.sent - self.stored)

    def summary(self) -> str:
        """One line for the user."""
        text = f"{self.channel} channel: {self.stored} of {self.sent} messages stored"
        reasons = []
        if self.dropped_full:
            reasons.append(f"{self.dropped_full} dropped, buffer full")
        if self.dropped_down:
            reasons.append(f"{self.dropped_down} dropped, subprocess down")
        if self.unstored:
            reasons.append(f"{self.unstored} not stored: "
                           f"{self.unstored_reason or 'the store refused them'}")
        if self.lost:
            reasons.append(f"{self.lost} lost in transit")
        if self.restarts:
            reasons.append(f"subprocess restarted {self.restarts}x")
        if self.note:
            reasons.append(self.note)
        if reasons:
            text += " (" + "; ".join(reasons) + ")"
        return text


def _stored_note(report: ChannelReport) -> Optional[str]:
    """The note of a delivery summary in the store: the report's note and
    why messages a subprocess received were not stored."""
    notes = [report.note] if report.note else []
    if report.unstored:
        notes.append(f"{report.unstored} not stored: "
                     f"{report.unstored_reason or 'the store refused them'}")
    return "; ".join(notes) or None


_UNSTORED_PART = re.compile(r"(?:^|; )(\d+) not stored: (.*)$", re.S)


def _split_note(note: str) -> Tuple[Optional[str], int, Optional[str]]:
    """A stored note (see ``_stored_note``: the part on messages not stored
    comes last) back as the note, the count of messages not stored and
    why."""
    match = _UNSTORED_PART.search(note)
    if match is None:
        return note, 0, None
    return note[:match.start()] or None, int(match.group(1)), match.group(2)
