"""A minute-bar check as a user would write it with h5py: open each file,
read `index` and the whole `datetime` column, apply the day rules. Prints
the number of files and of broken ones.

    /usr/bin/python3 bench/check_h5py.py BUNDLE_FOLDER
"""
import glob
import sys

import h5py
import numpy as np


def main(bundle):
    calendar = np.load(f"{bundle}/trading_dates.npy")
    broken = 0
    files = glob.glob(f"{bundle}/h5/*/*.h5")
    for path in files:
        try:
            with h5py.File(path, "r") as f:
                index = f["index"][:]
                dt = f["data"]["datetime"]
                first = dt[index["line_no"]]
                if not (first == index["date"].astype(np.int64) * 1000000 + 93100).all():
                    broken += 1
                    continue
                days = calendar[(calendar >= index["date"][0]) & (calendar <= index["date"][-1])]
                if len(days) != len(index):
                    broken += 1
        except OSError:
            broken += 1
    print(len(files), broken)


if __name__ == "__main__":
    main(sys.argv[1])
