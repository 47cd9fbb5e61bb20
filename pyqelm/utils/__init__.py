"""Helpers shared by encoder and decoder."""
