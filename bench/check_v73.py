"""Checks a v7.3 MAT-file converted from make_data's data file: the
variable's shape and MATLAB_class, and values at random places against what
make_data wrote (row r, column c: r + c * 0.25, a float).

usage: check_v73.py MAT_FILE VARIABLE RECORDS VALUES [SAMPLES]

MATLAB keeps an array in HDF5 in column order, so h5py, which reads in row
order, sees a RECORDS x VALUES matrix as VALUES x RECORDS.
"""
import sys

import h5py
import numpy


def main():
    path, variable = sys.argv[1], sys.argv[2]
    records, values = int(sys.argv[3]), int(sys.argv[4])
    samples = int(sys.argv[5]) if len(sys.argv) > 5 else 500
    rng = numpy.random.default_rng(2)
    with h5py.File(path, "r") as f:
        dataset = f[variable]
        matlab_class = dataset.attrs.get("MATLAB_class")
        print(f"{variable}: shape {dataset.shape}, dtype {dataset.dtype}, "
              f"MATLAB_class {matlab_class!r}, chunks {dataset.chunks}, "
              f"compression {dataset.compression}")
        ok = (dataset.shape == (values, records) and
              matlab_class in (b"double", "double"))
        rows = rng.integers(0, records, samples)
        columns = rng.integers(0, values, samples)
        # The corners too, where an off-by-one shows.
        rows = numpy.concatenate([rows, [0, 0, records - 1, records - 1]])
        columns = numpy.concatenate([columns, [0, values - 1, 0, values - 1]])
        wrong = 0
        for r, c in zip(rows, columns):
            want = float(numpy.float32(r) + numpy.float32(c) *
                         numpy.float32(0.25))
            got = float(dataset[c, r])
            if got != want:
                wrong += 1
                if wrong <= 5:
                    print(f"  row {r}, column {c}: {got}, not {want}")
        print(f"{len(rows)} values checked, {wrong} wrong")
        ok = ok and wrong == 0
    print("ok" if ok else "NOT OK")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
