"""Container format library: metadata records, chunk blobs, manifest, ZIP container, affine.

Writing: build a ``Meta`` and one ``ChunkMeta`` per chunk, serialise each chunk with
``write_chunk_bytes``, describe the chunks in a ``Manifest`` and call ``write_container``.
Reading: ``read_container`` then ``read_chunk_bytes`` on each chunk blob. Layouts are documented
in the modules ``chunk_io``, ``container``, ``manifest``, ``meta`` and ``affine``.
"""
from .affine import coerce_affine
from .chunk_io import (ChunkContents, ChunkMeta, QuantizationInfo, ResidualInfo, TrainTimeRange,
                       decode_chunk_filename, encode_chunk_filename, read_chunk_bytes, write_chunk_bytes)
from .container import (FORMAT_VERSION, ContainerContents, meta_document, read_container, read_meta_document,
                        write_bytes_atomic, write_container)
from .manifest import AxisChunking, ChunkEntry, Manifest
from .meta import BandInfo, Meta, TimeInfo

__all__ = [
    "AxisChunking", "BandInfo", "ChunkContents", "ChunkEntry", "ChunkMeta", "ContainerContents",
    "FORMAT_VERSION", "Manifest", "Meta", "QuantizationInfo", "ResidualInfo", "TimeInfo",
    "TrainTimeRange", "coerce_affine", "decode_chunk_filename", "encode_chunk_filename",
    "meta_document", "read_chunk_bytes", "read_container", "read_meta_document", "write_bytes_atomic",
    "write_chunk_bytes", "write_container",
]
