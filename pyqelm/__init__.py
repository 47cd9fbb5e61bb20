"""Neural compressor for geospatial raster time series.

The encoder engine is the extension module ``pyqelm.encoder.tcnn_compressor``; the package
around it holds the network classes, the dataset loaders, the container format library and
the decoder.
"""
import os

# The extension links the tensor library, which may bring its own OpenMP runtime next to
# another one already in the process; this must be set before that library loads.
os.environ["KMP_DUPLICATE_LIB_OK"] = "TRUE"
# OpenMP threads that wait at a barrier by spinning hold a CPU that another thread of this
# process (the streaming producer) or another process needs: on a machine shared with other
# jobs a training step took seven times longer than with waiting threads that sleep. Also read
# when the runtime loads; a user's own setting stands.
os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")

__version__ = "0.9.0"
