"""A channel that keeps its messages in a list: the default before recording
starts, and what tests read back."""
from typing import List


class InMemoryChannel:
    """Keeps every message it is sent, in order."""

    def __init__(self, name: str = "memory") -> None:
        self.name = name
        self.messages: List[bytes] = []

    def send_message(self, data: bytes) -> None:
        """Keep one message."""
        self.messages.append(data)

    def clear(self) -> None:
        """Forget the messages kept so far."""
        self.messages.clear()

    def __repr__(self) -> str:
        return f"<InMemoryChannel {self.name!r}: {len(self.messages)} messages>"
