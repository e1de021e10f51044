"""The conversion as a scipy user would write it: FortranFile.read_reals in a
loop, then savemat.

usage: scipy_route.py DATA_FILE MAT_FILE VARIABLE
"""
import sys

import numpy
from scipy.io import FortranFile, savemat


def main():
    data_file, mat_file, variable = sys.argv[1:4]
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
    savemat(mat_file, {variable: matrix})


if __name__ == "__main__":
    main()
