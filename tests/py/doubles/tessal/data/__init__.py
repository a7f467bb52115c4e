"""Data part of the host double."""
