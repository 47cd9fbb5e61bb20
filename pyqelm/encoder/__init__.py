"""The encoder: the compressor extension module and its data-source helpers."""
import os

os.environ["KMP_DUPLICATE_LIB_OK"] = "TRUE"
