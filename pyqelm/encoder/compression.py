"""Weight compression used by the encoder (the format is in pyqelm.utils.compression)."""
from pyqelm.utils.compression import fast_compress

__all__ = ["fast_compress"]
