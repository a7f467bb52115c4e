"""Data sources of the host data module double."""
