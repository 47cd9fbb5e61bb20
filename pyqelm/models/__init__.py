"""Coordinate networks: QELMNetwork (tiny-cuda-nn) and QELMNetworkTorch (pure PyTorch)."""
