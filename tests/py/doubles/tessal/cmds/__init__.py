"""Command helpers of the host double."""
