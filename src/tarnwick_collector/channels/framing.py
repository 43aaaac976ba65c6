"""How messages travel from a channel to its subprocess.

Each message is one frame: a 12-byte header (the time the channel accepted
the message as a little-endian float64, then the payload length as a
little-endian uint32) followed by the payload, the message bytes unchanged.
"""
import struct
from typing import List, Tuple

HEADER = struct.Struct("<dI")
HEADER_SIZE = HEADER.size
#: The largest payload one frame can carry.
MAX_PAYLOAD = 0xFFFFFFFF


def encode(received: float, payload: bytes) -> bytes:
    """One frame."""
    return HEADER.pack(received, len(payload)) + payload


class FrameReader:
    """Cuts a byte stream into frames, whatever the chunk boundaries."""

    def __init__(self) -> None:
        self._buffer = bytearray()

    def feed(self, chunk: bytes) -> List[Tuple[float, bytes]]:
        """Add bytes; return the frames completed by them as
        (received, payload) pairs."""
        buf = self._buffer
        buf += chunk
        frames: List[Tuple[float, bytes]] = []
        offset = 0
        end = len(buf)
        while end - offset >= HEADER_SIZE:
            received, size = HEADER.unpack_from(buf, offset)
            start = offset + HEADER_SIZE
            if end - start < size:
                break
            frames.append((received, bytes(buf[start:start + size])))
            offset = start + size
        if offset:
            del buf[:offset]
        return frames

    @property
    def pending(self) -> int:
        """Bytes of an incomplete frame held back."""
        return len(self._buffer)
