"""Placeholder until the folder loader lands."""
import numpy as np


class QELMDatasetLoader:
    def __init__(self, dtype=np.float32):
        self.dtype = dtype
