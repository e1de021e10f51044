#!/usr/bin/python3
"""Converts the files of FDS (slice, boundary), PLOT3D (grid, solution) and
WPS (intermediate) that gfortran writes as those programs do, by the shipped
layout's name, from the file and through a pipe, into v6, v7 and v7.3, and
checks that scipy (h5py for v7.3), GNU Octave and matio each read back every
variable's name, class, dimensions and bits, chars as their text, as the
Fortran program recorded them: the MAT arrays are the Fortran arrays.

usage: formats_test.py --converter PATH --matio-dump PATH
"""
import argparse
import os
import struct
import subprocess
import sys
import tempfile

from interop_test import compare, run
from layouts_test import by_name, level5_errors, matio_dump, safely, widened

HERE = os.path.dirname(os.path.abspath(__file__))

# Case of write_formats.f90, the layout that reads it, its data file, and
# whether it is also converted with --class native.
CASES = [
    ("fds-slice", "fds-slice", "data.sf", True),
    ("fds-slice-cut", "fds-slice", "data.sf", False),
    ("fds-boundary", "fds-boundary", "data.bf", True),
    ("fds-boundary-alike", "fds-boundary", "data.bf", False),
    ("plot3d-grid-r4", "plot3d-grid", "data.xyz", False),
    ("plot3d-grid-r4-iblank", "plot3d-grid", "data.xyz", True),
    ("plot3d-grid-r8", "plot3d-grid", "data.xyz", False),
    ("plot3d-grid-r8-iblank", "plot3d-grid", "data.xyz", False),
    ("plot3d-grid-alike-r8", "plot3d-grid", "data.xyz", False),
    ("plot3d-grid-single-iblank", "plot3d-grid", "data.xyz", False),
    ("plot3d-q-r4", "plot3d-q", "data.q", True),
    ("plot3d-q-alike-r8", "plot3d-q", "data.q", False),
    ("plot3d-q-single-r4", "plot3d-q", "data.q", False),
    ("plot3d-q-single-r8", "plot3d-q", "data.q", False),
    ("wps-latlon", "wps-intermediate", "FILE:2024-01-15_12", True),
    ("wps-lambert", "wps-intermediate", "FILE:2024-01-15_12", False),
]
# The file ends inside its last time step, whose values are dropped.
CUT = {"fds-slice-cut"}
FORMATS = {"v6": [], "v7": ["--format", "v7"], "v7.3": ["--format", "v7.3"]}
NATIVE = {"real4": "single", "real8": "double", "int4": "int32"}
DTYPES = {"float64": "double", "float32": "single", "int32": "int32",
          "uint16": "char", "uint8": "logical", "bool": "logical",
          "object": "cell"}


def framing_errors(path, byte_order, cut):
    """Whole records with markers in the format's byte order, but for the
    last one of a cut file: what makes the case the case it is meant to be."""
    data, at = open(path, "rb").read(), 0
    while at < len(data):
        length = struct.unpack_from(byte_order + "i", data, at)[0]
        end = at + 8 + length
        if end > len(data):
            return [] if cut else [f"record at byte {at} cut"]
        if struct.unpack_from(byte_order + "i", data, end - 4)[0] != length:
            return [f"record at byte {at}: markers differ"]
        at = end
    return ["no record cut"] if cut else []


def expected_blocks(path, native):
    """Each variable's lines, as a reader prints them, from expected.txt."""
    blocks = []
    for line in open(path).read().split("\n")[:-1]:
        if " " in line:
            blocks.append((line.split(), []))
        else:
            blocks[-1][1].append(line.lower())
    out = []
    for (name, kind, *dims), bits in blocks:
        if kind == "logical4":
            kind, bits = "logical", ["%d" % (int(b, 16) != 0) for b in bits]
        elif kind in NATIVE:
            klass = NATIVE[kind] if native else "double"
            bits = bits if klass == NATIVE[kind] else widened(kind, bits)
            kind = klass
        out.append([f"{name} {kind} {' '.join(dims)}", *bits])
    return out


def octave_hdf5(blocks):
    """What Octave 7 reads of a v7.3 file: no cell, chars as their uint16
    codes, logicals as uint8 and singles widened to doubles."""
    out = []
    for block in blocks:
        name, kind, dims = block[0].split(" ", 2)
        if kind == "cell" or "{" in name:
            continue
        if kind == "char":
            block = [f"{name} uint16 {dims}", *block[1:]]
        elif kind == "logical":
            block = [f"{name} uint8 {dims}", *["%02x" % int(b)
                                              for b in block[1:]]]
        elif kind == "single":
            block = [f"{name} double {dims}", *widened("real4", block[1:])]
        out.append(block)
    return out


def flat(blocks):
    return by_name([line for block in blocks for line in block])


def value_lines(klass, values, dtype):
    """Chars as their codes, logicals as 0 or 1, numbers as their bits."""
    if klass == "char":
        return ["%04x" % c for c in values]
    if klass == "logical":
        return ["%d" % v for v in values]
    data, size = values.tobytes(), dtype.itemsize
    order = "big" if dtype.byteorder == ">" else "little"
    return ["%0*x" % (2 * size, int.from_bytes(data[k:k + size], order))
            for k in range(0, len(data), size)]


def scipy_lines(name, klass, v):
    """A variable and, for a cell, its cells: loadmat gives cells as object
    arrays and, with chars_as_strings off, chars as arrays of letters."""
    lines = [f"{name} {klass} " + " ".join(map(str, v.shape))]
    values = v.ravel(order="F")
    if klass == "char":
        values = [ord(c) for c in values]
    if klass != "cell":
        return lines + value_lines(klass, values, v.dtype)
    for k, item in enumerate(values):
        lines += scipy_lines(f"{name}{{{k + 1}}}", DTYPES[item.dtype.name],
                             item)
    return lines


def scipy_dump(path):
    import scipy.io

    classes = {name: klass for name, _, klass in scipy.io.whosmat(path)}
    contents = scipy.io.loadmat(path, mat_dtype=True, chars_as_strings=False)
    return by_name([line for name, v in contents.items()
                    if not name.startswith("__")
                    for line in scipy_lines(name, classes[name], v)])


def h5py_lines(f, name, v):
    """A dataset as MATLAB's array: dimensions reversed, its row-major order
    MATLAB's column-major one; a cell's references into /#refs#."""
    klass = v.attrs.get("MATLAB_class", b"none")
    klass = klass.decode() if isinstance(klass, bytes) else klass
    lines = [f"{name} {klass} " + " ".join(map(str, v.shape[::-1]))]
    if DTYPES.get(v.dtype.name) != klass:
        lines.append(f"{name}: {v.dtype} of class {klass}")
    values = v[()].ravel()
    if klass != "cell":
        return lines + value_lines(klass, values, v.dtype)
    for k, ref in enumerate(values):
        target = f[ref]
        if not target.name.startswith("/#refs#/"):
            lines.append(f"{name}{{{k + 1}}} at {target.name}")
        lines += h5py_lines(f, f"{name}{{{k + 1}}}", target)
    return lines


def h5py_dump(path):
    import h5py

    with h5py.File(path, "r") as f:
        return by_name([line for name, v in f.items() if name != "#refs#"
                        for line in h5py_lines(f, name, v)])


# A line "@" before each MAT-file's variables: Octave starts once for all.
OCTAVE_SCRIPT = r"""
function show(name, v)
  printf("%s %s%s\n", name, class(v), sprintf(" %d", size(v)));
  if iscell(v)
    for k = 1:numel(v), show(sprintf("%s{{%d}}", name, k), v{{k}}); end
  elseif ischar(v)
    printf("%04x\n", double(v(:)));
  elseif islogical(v)
    printf("%d\n", v(:));
  elseif isnumeric(v) && !isempty(v)
    bytes = typecast(v(:), "uint8");
    n = numel(bytes) / numel(v);
    printf([repmat("%02x", 1, n) "\n"], flipud(reshape(bytes, n, [])));
  end
end
for path = {{{paths}}}
  printf("@\n");
  try
    for [v, name] = load(path{{1}})
      show(name, v);
    end
  catch err
    printf("%s\n", err.message);
  end
end
"""


def octave_dumps(paths):
    """{path: dump}; Octave gives v7.3's /#refs# as a struct __refs_."""
    out = subprocess.run(
        ["octave-cli", "--norc", "--no-history", "--quiet", "--eval",
         OCTAVE_SCRIPT.format(paths=", ".join(f'"{p}"' for p in paths))],
        capture_output=True).stdout.decode().split("@\n")
    return {path: by_name([line for line in text.split("\n")[:-1]
                           if not line.startswith("__refs_ ")])
            for path, text in zip(paths, out[1:])}


def converted(args, where, layout, options, data, piped, mat, cut):
    """Errors of a conversion: exit 0, and nothing on stderr but, for a cut
    file, one warning (naming the file where it has a name)."""
    stdin = open(os.path.join(where, data), "rb").read() if piped else None
    try:
        done = subprocess.run([args.converter, "--layout", layout, *options,
                               "-o", mat, "-" if piped else data], cwd=where,
                              input=stdin, capture_output=True, timeout=60)
    except subprocess.TimeoutExpired:
        return ["still running after 60 s"]
    err = done.stderr.decode()
    errors = [] if done.returncode == 0 else [f"exit {done.returncode}"]
    if cut:
        if err.count("\n") != 1 or not err.startswith("unf2mat: warning: ") \
                or not (piped or f"'{data}'" in err):
            errors.append(f"stderr {err!r}, not one warning naming {data}")
    elif err:
        errors.append(f"stderr {err!r}")
    return errors


def read_back(args, mat, form, want, octave):
    if form == "v7.3":
        errors = compare("h5py", safely(h5py_dump, mat), flat(want))
        errors += compare("octave", octave, flat(octave_hdf5(want)))
    else:
        errors = safely(level5_errors, mat, 1 if form == "v7" else None)
        errors += compare("scipy", safely(scipy_dump, mat), flat(want))
        errors += compare("octave", octave, flat(want))
    return errors + compare("matio", matio_dump(args.matio_dump, mat),
                            flat(want))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--converter", required=True)
    parser.add_argument("--matio-dump", required=True)
    args = parser.parse_args()

    failures, written = [], []
    with tempfile.TemporaryDirectory(prefix="unf2mat-formats-") as work:
        writer = os.path.join(work, "write_formats")
        run(["gfortran", "-J", work, "-o", writer,
             os.path.join(HERE, "expected_values.f90"),
             os.path.join(HERE, "write_formats.f90")])
        for case, layout, data, _ in CASES:
            where = os.path.join(work, case)
            os.mkdir(where)
            run([writer, case], cwd=where)
            failures += [f"{case}: {e}" for e in framing_errors(
                os.path.join(where, data), ">" if "wps" in case else "<",
                case in CUT)]
        listed = subprocess.run([args.converter, "--layout", "list"],
                                capture_output=True)
        if listed.returncode != 0:
            print("the converter has no --layout: "
                  f"{listed.stderr.decode().strip()}", file=sys.stderr)
            return 1
        failures += [f"--layout list: no {name}" for name in
                     sorted({row[1] for row in CASES} -
                            set(listed.stdout.decode().split()))]

        for case, layout, data, native in CASES:
            where = os.path.join(work, case)
            runs = [(form, piped, False) for form in FORMATS
                    for piped in (False, True)]
            runs += [(form, False, True) for form in FORMATS if native]
            for form, piped, as_native in runs:
                options = FORMATS[form] + (["--class", "native"]
                                           if as_native else [])
                label = (f"{case} {form}{' native' if as_native else ''} "
                         f"{'pipe' if piped else 'file'}")
                # Relative: -o takes at most 80 characters.
                mat = label.split(" ", 1)[1].replace(" ", "-") + ".mat"
                errors = converted(args, where, layout, options, data, piped,
                                   mat, case in CUT)
                mat = os.path.join(where, mat)
                failures += [f"{label}: {e}" for e in errors]
                want = expected_blocks(os.path.join(where, "expected.txt"),
                                       as_native)
                if errors:
                    print(f"{label}: FAILED")
                else:
                    written.append((label, mat, form, want))
        octave = octave_dumps([mat for _, mat, _, _ in written])
        for label, mat, form, want in written:
            errors = read_back(args, mat, form, want,
                               octave.get(mat, ["no Octave output"]))
            failures += [f"{label}: {e}" for e in errors]
            print(f"{label}: {'FAILED' if errors else 'ok'}")
    for failure in failures:
        print(failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
