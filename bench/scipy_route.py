"""The conversion as a scipy user would write it: FortranFile.read_reals in a
loop, then savemat.

usage: scipy_route.py [--compress] DATA_FILE MAT_FILE VARIABLE

--compress passes do_compression=True to savemat (a v7 file, deflated at
zlib's default level).
"""
import sys

import numpy
from scipy.io import FortranFile, savemat


def main():
    argv = sys.argv[1:]
    compress = "--compress" in argv
    if compress:
        argv.remove("--compress")
    data_file, mat_file, variable = argv[:3]
    rows = []
    with FortranFile(data_file, "r") as f:
        while True:
            try:
                row = f.read_reals(dtype=numpy.float32)
            except Exception:  # the end, or a damaged record
                break
            if rows and row.size < rows[0].size:
                break
            rows.append(row[: rows[0].size] if rows else row)
    matrix = numpy.vstack(rows).astype(numpy.float64)
    savemat(mat_file, {variable: matrix}, do_compression=compress)


if __name__ == "__main__":
    main()
