"""Script helpers of the host's ``tessal_plus.utils``."""


def get_h5_mode(path):
    """HDF5 open mode for a store file: "a" (read/write, create if absent),
    which allows creating, deleting and resizing datasets."""
    return "a"
