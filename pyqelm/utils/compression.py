"""Self-describing Zstandard container for byte strings (the weight blob uses it).

Layout, little-endian::

    magic    4 bytes  b"QZS1"
    version  u8       1
    level    u8       Zstandard level used (informational)
    raw_len  u64      length of the uncompressed data
    crc32    u32      CRC-32 (zlib) of the uncompressed data
    payload           one Zstandard frame holding the data

``fast_decompress`` checks every field before it allocates: the payload's frame must declare
exactly ``raw_len`` bytes, and ``raw_len`` may not exceed what a Zstandard frame of that size
can physically expand to, so hostile headers cannot trigger huge allocations; bytes after the
frame are refused.
"""
import struct
import zlib

import zstandard

MAGIC = b"QZS1"
VERSION = 1
DEFAULT_LEVEL = 12
_HEADER = struct.Struct("<4sBBQI")
# A Zstandard block of up to 128 KiB can be stored as a 4-byte RLE block, so no frame expands
# by more than this factor (plus one block of slack).
_MAX_RATIO = 32768
_SLACK = 131072


def fast_compress(data, level=DEFAULT_LEVEL):
    """Compress ``data`` (bytes-like) into the self-describing container."""
    raw = bytes(data)
    payload = zstandard.ZstdCompressor(level=level, write_content_size=True).compress(raw)
    header = _HEADER.pack(MAGIC, VERSION, level, len(raw), zlib.crc32(raw) & 0xFFFFFFFF)
    return header + payload


def declared_size(blob):
    """The uncompressed length a compressed blob declares, from its header alone (checked as
    :func:`fast_decompress` checks it: a length its payload cannot hold is refused). Lets a
    reader compare it with what the data should be before inflating anything."""
    blob = memoryview(blob)
    if blob.nbytes < _HEADER.size:
        raise ValueError(f"compressed blob truncated: {blob.nbytes} bytes, header needs {_HEADER.size}")
    magic, version, _level, raw_len, _crc = _HEADER.unpack_from(blob)
    if magic != MAGIC:
        raise ValueError(f"not a compressed blob: magic {magic!r}, expected {MAGIC!r}")
    if version != VERSION:
        raise ValueError(f"unsupported compressed blob version {version} (this reader knows {VERSION})")
    if raw_len > _MAX_RATIO * (blob.nbytes - _HEADER.size) + _SLACK:
        raise ValueError(f"compressed blob declares {raw_len} bytes, more than its "
                         f"{blob.nbytes - _HEADER.size}-byte payload can hold")
    return raw_len


def fast_decompress(blob):
    """Inverse of :func:`fast_compress`; raises ValueError on foreign, truncated or corrupted input."""
    blob = bytes(blob)
    if len(blob) < _HEADER.size:
        raise ValueError(f"compressed blob truncated: {len(blob)} bytes, header needs {_HEADER.size}")
    magic, version, _level, raw_len, crc = _HEADER.unpack_from(blob)
    if magic != MAGIC:
        raise ValueError(f"not a compressed blob: magic {magic!r}, expected {MAGIC!r}")
    if version != VERSION:
        raise ValueError(f"unsupported compressed blob version {version} (this reader knows {VERSION})")
    payload = blob[_HEADER.size:]
    if raw_len > _MAX_RATIO * len(payload) + _SLACK:
        raise ValueError(f"compressed blob declares {raw_len} bytes, more than its {len(payload)}-byte payload can hold")
    try:
        declared = zstandard.frame_content_size(payload)
    except zstandard.ZstdError as exc:
        raise ValueError(f"compressed blob payload is not a Zstandard frame: {exc}") from None
    if declared != raw_len:
        raise ValueError(f"compressed blob payload declares {declared} bytes, header says {raw_len}")
    # The frame's declared size was checked above and libzstd enforces it while decoding, so
    # the output is bounded; the stream object also tells whether bytes follow the frame.
    dobj = zstandard.ZstdDecompressor().decompressobj()
    try:
        raw = dobj.decompress(payload)
    except zstandard.ZstdError as exc:
        raise ValueError(f"compressed blob payload is corrupted: {exc}") from None
    if not dobj.eof:
        raise ValueError("compressed blob truncated: its Zstandard frame is incomplete")
    if dobj.unused_data:
        raise ValueError(f"compressed blob has {len(dobj.unused_data)} bytes after its Zstandard frame")
    if len(raw) != raw_len:
        raise ValueError(f"compressed blob decoded to {len(raw)} bytes, header says {raw_len}")
    if zlib.crc32(raw) & 0xFFFFFFFF != crc:
        raise ValueError("compressed blob checksum mismatch: data corrupted")
    return raw
