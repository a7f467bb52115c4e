"""Helpers of the host double."""
