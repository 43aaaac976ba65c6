"""How data messages are packed in the store.

A recorded call's message is a pickle stream that names the same classes,
modules, field names and, call after call of one function, the same
metadata, signature and much of the same arguments. Each message is kept
deflated (zlib, raw deflate), and every message of a function but the
first is deflated with that first message (its *base*) as the preset
dictionary, so what calls of a function have in common is stored once:

=======  =========================================================
packing  the ``message`` column holds
=======  =========================================================
0        the message as sent (stores written before packing, and
         messages packing would not make smaller)
1        the message deflated
2        the message deflated with the message of row ``base`` (a row
         of packing 0 or 1) as the dictionary
=======  =========================================================

Only the last ``WINDOW`` bytes of a base serve as its dictionary (deflate
sees no further back). Each message still unpacks on its own, given its
base: readers need no other row, and no message is lost with another.
"""
import zlib
from typing import Any, Dict, List, Optional, Sequence, Tuple

RAW = 0
DEFLATED = 1
DEFLATED_ON_BASE = 2

#: Messages are mostly pickled bytes the dictionary already holds or that
#: hardly compress at all: level 1 stores them within 2% of level 6's size
#: at less than half its time, which is what a receiver keeping up with a
#: busy program needs.
LEVEL = 1
WINDOW = 32 * 1024
_WBITS = -15  # raw deflate: no header or checksum of its own
# The compressor's memory level: at the default (8) its state is large
# enough for the allocator to map and unmap fresh pages for every message,
# which made packing five times slower; messages are small, so the ratio is
# the same.
_MEMLEVEL = 6


def deflate(data: bytes, base: Optional[bytes] = None) -> bytes:
    if base:
        packer = zlib.compressobj(LEVEL, zlib.DEFLATED, _WBITS, _MEMLEVEL, zdict=base)
    else:
        packer = zlib.compressobj(LEVEL, zlib.DEFLATED, _WBITS, _MEMLEVEL)
    return packer.compress(data) + packer.flush()


#: The most a packed message may unpack to when its row does not say how
#: long it is (a store may have been damaged or crafted: a few bytes can
#: deflate gigabytes).
MAX_UNPACKED = 256 * 1024 * 1024


def inflate(data: bytes, base: Optional[bytes] = None,
            size: Optional[int] = None) -> bytes:
    """``data`` unpacked; ``size`` is its length as sent, when known (no
    more is ever unpacked)."""
    if base:
        unpacker = zlib.decompressobj(_WBITS, zdict=base)
    else:
        unpacker = zlib.decompressobj(_WBITS)
    limit = size if size is not None else MAX_UNPACKED
    out = unpacker.decompress(data, limit + 1)
    if len(out) > limit or unpacker.unconsumed_tail:
        raise ValueError("packed message is longer than its stored size")
    if not unpacker.eof:
        raise ValueError("packed message is cut short")
    if size is not None and len(out) != size:
        raise ValueError("packed message is shorter than its stored size")
    return out


class PendingBase:
    """A base written in the transaction under way: its row id is known
    once its row is inserted."""

    __slots__ = ("rowid", "dictionary")

    def __init__(self, dictionary: bytes) -> None:
        self.rowid: Optional[int] = None
        self.dictionary = dictionary


class Packer:
    """Packs the data messages of one writer, keeping the base of each
    function it has written. Bases become the writer's own only when the
    transaction that wrote them is committed (``commit``); after a failed
    one (``rollback``) the next message of the function is a base again."""

    def __init__(self, max_bases: int = 10000) -> None:
        self._bases: Dict[str, Tuple[int, bytes]] = {}
        self._pending: Dict[str, PendingBase] = {}
        self._max_bases = max_bases
        #: Set by a writer that is falling behind its input: messages are
        #: then kept as sent, since a message stored larger is better than
        #: one the sender has to drop for want of room in its buffer.
        self.hurry = False
        #: Messages kept as sent because of ``hurry``.
        self.hurried = 0

    def pack(self, full_name: Optional[str], message: bytes
             ) -> Tuple[int, Any, bytes]:
        """(packing, base, stored bytes) of ``message``, a message of the
        function ``full_name`` (None when not known). ``base`` is a row id,
        a :class:`PendingBase` (this message's own when it becomes one, or
        the one it is packed on) or None."""
        if self.hurry:
            self.hurried += 1
            return RAW, None, message
        if full_name is not None:
            known = self._bases.get(full_name)
            if known is not None:
                packed = deflate(message, known[1])
                if len(packed) < len(message):
                    return DEFLATED_ON_BASE, known[0], packed
                return RAW, None, message
            pending = self._pending.get(full_name)
            if pending is not None:
                packed = deflate(message, pending.dictionary)
                if len(packed) < len(message):
                    return DEFLATED_ON_BASE, pending, packed
                return RAW, None, message
        packed = deflate(message)
        if len(packed) >= len(message):
            packing, stored = RAW, message
        else:
            packing, stored = DEFLATED, packed
        if full_name is None or len(self._bases) >= self._max_bases:
            return packing, None, stored
        pending = self._pending[full_name] = PendingBase(message[-WINDOW:])
        return packing, pending, stored

    def commit(self) -> None:
        for name, pending in self._pending.items():
            if pending.rowid is not None:
                self._bases[name] = (pending.rowid, pending.dictionary)
        self._pending = {}

    def rollback(self) -> None:
        self._pending = {}


def pack_rows(rows: Sequence[Sequence[Any]], packer: Packer
              ) -> List[Tuple[Tuple[Any, ...], Any]]:
    """Each data row (session, received, full_name, module, size,
    decode_error, message as sent) as the store keeps it: (session,
    received, full_name, module, size, decode_error, stored bytes,
    packing), with its base (see ``Packer.pack``). A row that could not be
    decoded is packed on no base."""
    packed = []
    for session, received, full_name, module, size, error, message in rows:
        how, base, stored = packer.pack(full_name if error is None else None,
                                        bytes(message))
        packed.append(((session, received, full_name, module, size, error,
                        stored, how), base))
    return packed


class Unpacker:
    """Unpacks stored messages read through ``conn``, keeping the bases it
    read."""

    def __init__(self, conn: Any, max_bases: int = 256) -> None:
        self._conn = conn
        self._bases: Dict[int, bytes] = {}
        self._max_bases = max_bases

    def _base(self, rowid: Any) -> bytes:
        known = self._bases.get(rowid)
        if known is not None:
            return known
        row = self._conn.execute(
            "SELECT packing, message, size FROM data_messages WHERE id = ?",
            (rowid,)).fetchone()
        if row is None:
            raise ValueError(f"its base (row {rowid}) is missing")
        packing, message, size = row
        if packing == DEFLATED_ON_BASE or not isinstance(message, bytes):
            raise ValueError(f"its base (row {rowid}) is not one")
        dictionary = self.unpack(packing, None, message, size)[-WINDOW:]
        if len(self._bases) >= self._max_bases:
            self._bases.clear()
        self._bases[rowid] = dictionary
        return dictionary

    def unpack(self, packing: Any, base: Any, message: Any,
               size: Any = None) -> bytes:
        """The message as sent (``size`` long, as its row says); raises
        ValueError when it cannot be unpacked."""
        if packing in (None, RAW):
            return message
        if not isinstance(message, bytes):
            raise ValueError("packed message is not bytes")
        if not isinstance(size, int) or isinstance(size, bool) or \
                not 0 <= size <= MAX_UNPACKED:
            size = None
        try:
            if packing == DEFLATED:
                return inflate(message, None, size)
            if packing == DEFLATED_ON_BASE:
                return inflate(message, self._base(base), size)
        except zlib.error as exc:
            raise ValueError(f"packed message is damaged ({exc})") from None
        raise ValueError(f"unknown packing {packing!r}")
