"""The host's ``tessal_plus.utils``, shared by both flavours of the double."""

# Codec numbers of the Blosc HDF5 filter (id 32001), by name.
BLOSC_FILTER_ID = 32001
BLOSC_CODECS = {"blosclz": 0, "lz4": 1, "lz4hc": 2, "snappy": 3, "zlib": 4, "zstd": 5}


def blosc_opts(complevel=9, complib="blosc:lz4", shuffle=True):
    """Dataset-creation keywords (h5py ``create_dataset``) for the Blosc filter.

    The filter's seven parameters are (reserved x4, level, shuffle, codec);
    the first four are filled in by the filter itself. HDF5's own byte
    shuffle is switched off because Blosc shuffles inside the filter.
    ``shuffle``: True/1 byte shuffle, "bit"/2 bit shuffle, False/0 none.
    """
    name = complib[len("blosc:"):] if complib.startswith("blosc:") else complib
    if name not in BLOSC_CODECS:
        raise ValueError("unknown Blosc codec %r" % (complib,))
    if not 0 <= int(complevel) <= 9:
        raise ValueError("Blosc level must be 0..9, not %r" % (complevel,))
    mode = 2 if shuffle == "bit" else (1 if shuffle else 0)
    return {"compression": BLOSC_FILTER_ID,
            "compression_opts": (0, 0, 0, 0, int(complevel), mode, BLOSC_CODECS[name]),
            "shuffle": False}


def get_h5_mode(path):
    """HDF5 open mode for a store file: "a" (read/write, create if absent),
    which allows creating, deleting and resizing datasets."""
    return "a"
