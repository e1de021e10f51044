#!/usr/bin/python3
"""Converts files that gfortran writes, in one framing, and checks that GNU
Octave, scipy and matio each read back every value bit for bit, and that
--describe tells what a record walk of its own finds.

usage: interop_test.py FRAMING --converter PATH --matio-dump PATH
"""
import argparse
import os
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

# gfortran options that give each framing a user's file may have.
FRAMINGS = {
    "native": [],
    "big-endian": ["-fconvert=big-endian"],
    "marker8": ["-frecord-marker=8"],
    "big-endian-marker8": ["-fconvert=big-endian", "-frecord-marker=8"],
    "subrecords": ["-fmax-subrecord-length=8"],
    "big-endian-subrecords": ["-fconvert=big-endian", "-fmax-subrecord-length=12"],
}

# A file of nothing but empty records with 8-byte markers cannot be told from
# one with twice as many empty records and 4-byte markers.
DATASETS = ["full", "short", "empty", "row", "column", "real8", "int4"]
EIGHT_BYTE_DATASETS = ["full", "short", "row", "column", "real8", "int4"]
VALUE_SIZE = {"real4": 4, "real8": 8, "int4": 4}


def run(cmd, **kwargs):
    return subprocess.run(cmd, check=True, capture_output=True, **kwargs)


def expected_dump(dataset, expected_txt):
    """What every reader should print: widening a float is exact, and keeps a
    quiet NaN's sign and payload."""
    lines = expected_txt.split()
    rows, cols, value_type = int(lines[0]), int(lines[1]), lines[2]
    out = [f"{dataset} {rows} {cols}"]
    for word in lines[3:]:
        raw = bytes.fromhex(word)[::-1]
        if value_type == "real8":
            out.append(word.lower())
            continue
        value = struct.unpack("<f" if value_type == "real4" else "<i", raw)[0]
        out.append(struct.pack("<d", value)[::-1].hex())
    return out


def walk_records(path, framing):
    """(offset, bytes, subrecords) of each record, by a walk of its own."""
    data = open(path, "rb").read()
    marker = 8 if "marker8" in framing else 4
    fmt = (">" if "big-endian" in framing else "<") + ("q" if marker == 8
                                                       else "i")
    records, at = [], 0
    while at < len(data):
        start, length, parts = at, 0, 0
        while True:
            count = struct.unpack_from(fmt, data, at)[0]
            at += 2 * marker + abs(count)
            length, parts = length + abs(count), parts + 1
            if count >= 0:
                break
        records.append((start, length, parts))
    return records, len(data)


def counted(n, noun):
    return f"{n} {noun}" + ("" if n == 1 else "s")


def loading(records, value_type):
    """Columns, rows, and the record (from 0) that stops loading, if any."""
    size = VALUE_SIZE[value_type]
    width = records[0][1] // size if records else 0
    for k, (_, length, _) in enumerate(records):
        if length < width * size:
            return width, k, k
    return width, len(records), None


def stop_warning(records, size, value_type):
    width, rows, stop = loading(records, value_type)
    if stop is None:
        return b""
    values = records[stop][1] // VALUE_SIZE[value_type]
    return (f"unf2mat: warning: loading of data file 'data.dat' stopped at "
            f"record {stop + 1}, which holds {counted(values, 'value')}, "
            f"fewer than the first record's {width}; "
            f"{counted(size - records[stop][0], 'byte')} of the file were "
            f"not read; unf2mat --describe may propose a command that reads "
            f"it whole\n").encode()


def expected_description(framing, dataset, records, size, value_type):
    if dataset == "empty":
        framing_line = ("4-byte little-endian markers (not proved: the first "
                        "records fit more than one framing)")
    else:
        framing_line = (f"{8 if 'marker8' in framing else 4}-byte "
                        f"{'big' if 'big-endian' in framing else 'little'}"
                        f"-endian markers")
    split = sum(1 for r in records if r[2] > 1)
    lines = ["data.dat", f"  framing: {framing_line}",
             "  subrecords: " + ("none" if split == 0 else
                                 counted(split, "record") +
                                 " split into subrecords"),
             f"  records: {len(records)}"]
    firsts = {}
    for k, (_, length, _) in enumerate(records):
        firsts.setdefault(length, k + 1)
    for length, first in firsts.items():
        n = sum(1 for r in records if r[1] == length)
        lines.append(f"  length: {counted(length, 'byte')} in "
                     f"{counted(n, 'record')}, first record {first}")
    width, rows, stop = loading(records, value_type)
    lines.append(f"  matrix: {rows} x {width} of {value_type} values")
    if stop is None:
        lines += ["  stop: none, the whole file loads", "  unread: 0 bytes"]
    else:
        values = records[stop][1] // VALUE_SIZE[value_type]
        lines += [f"  stop: record {stop + 1}, which holds "
                  f"{counted(values, 'value')}, fewer than the first "
                  f"record's {width}",
                  f"  unread: {counted(size - records[stop][0], 'byte')}"]
    return lines


def structure_errors(path):
    data = open(path, "rb").read()
    errors = []
    if len(data) < 136:
        return [f"{len(data)} bytes, less than a header and a tag"]
    tag_type, tag_bytes = struct.unpack_from("<II", data, 128)
    if tag_type != 14:
        errors.append(f"element type {tag_type}, not a matrix")
    if len(data) != 136 + tag_bytes:
        errors.append(f"size {len(data)}, not 136 + {tag_bytes}")
    if len(data) % 8 != 0 or tag_bytes % 8 != 0:
        errors.append("not 8-byte aligned")
    return errors


OCTAVE_SCRIPT = r"""
s = load("{path}");
names = fieldnames(s);
if numel(names) != 1, exit(2); end
v = s.(names{{1}});
if !strcmp(class(v), "double") || !isreal(v), exit(3); end
printf("%s %d %d\n", names{{1}}, rows(v), columns(v));
w = v.';
if numel(w) > 0
  words = typecast(w(:), "uint32");
  printf("%08x%08x\n", [words(2:2:end)'; words(1:2:end)']);
end
"""


def octave_dump(path):
    out = run(["octave-cli", "--norc", "--no-history", "--quiet", "--eval",
               OCTAVE_SCRIPT.format(path=path)]).stdout.decode()
    return out.split("\n")[:-1]


def scipy_dump(path):
    import numpy
    import scipy.io

    contents = {k: v for k, v in scipy.io.loadmat(path).items()
                if not k.startswith("__")}
    if len(contents) != 1:
        return [f"variables: {sorted(contents)}"]
    name, v = next(iter(contents.items()))
    if v.dtype != numpy.float64:
        return [f"{name}: dtype {v.dtype}"]
    out = [f"{name} {v.shape[0]} {v.shape[1]}"]
    out += ["%016x" % bits for bits in v.view(numpy.uint64).ravel(order="C")]
    return out


def matio_dump(tool, path):
    return run([tool, path]).stdout.decode().split("\n")[:-1]


def compare(reader, got, want):
    if got == want:
        return []
    for k, (g, w) in enumerate(zip(got, want)):
        if g != w:
            return [f"{reader}: line {k + 1} is {g!r}, expected {w!r}"]
    return [f"{reader}: {len(got)} lines, expected {len(want)}"]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("framing", choices=sorted(FRAMINGS))
    parser.add_argument("--converter", required=True)
    parser.add_argument("--matio-dump", required=True)
    args = parser.parse_args()
    datasets = (EIGHT_BYTE_DATASETS if "marker8" in args.framing
                else DATASETS)

    failures = []
    with tempfile.TemporaryDirectory(prefix="unf2mat-interop-") as work:
        writer = os.path.join(work, "write_records")
        run(["gfortran", *FRAMINGS[args.framing], "-o", writer,
             os.path.join(HERE, "write_records.f90")])
        for dataset in datasets:
            folder = os.path.join(work, dataset)
            os.mkdir(folder)
            run([writer, dataset], cwd=folder)
            value_type = open(os.path.join(folder, "expected.txt")).read(
            ).split()[2]
            if value_type == "real4":
                control = f"data.dat\n\n\n\nresult.mat\n{dataset}\n"
                converted = run([args.converter], cwd=folder,
                                input=control.encode())
            else:
                converted = run([args.converter, "-t", value_type, "-o",
                                 "result.mat", "-n", dataset, "data.dat"],
                                cwd=folder)
            records, size = walk_records(os.path.join(folder, "data.dat"),
                                         args.framing)
            # Only empty records fit 4- and 8-byte markers alike: the
            # converter says which it took.
            allowed = (b"unf2mat: warning: the first records of data file "
                       b"'data.dat' fit more than one record framing; "
                       b"reading it with 4-byte little-endian markers\n"
                       if dataset == "empty" else
                       stop_warning(records, size, value_type))
            if converted.stderr != allowed:
                failures.append(f"{dataset}: stderr {converted.stderr!r}")
            described = run([args.converter, "--describe", "-t", value_type,
                             "data.dat"], cwd=folder).stdout.decode()
            failures += [f"{dataset}: {e}" for e in compare(
                "--describe", described.split("\n")[:-1],
                expected_description(args.framing, dataset, records, size,
                                     value_type))]
            mat = os.path.join(folder, "result.mat")
            want = expected_dump(
                dataset, open(os.path.join(folder, "expected.txt")).read())
            errors = structure_errors(mat)
            errors += compare("octave", octave_dump(mat), want)
            errors += compare("scipy", scipy_dump(mat), want)
            errors += compare("matio", matio_dump(args.matio_dump, mat), want)
            failures += [f"{dataset}: {e}" for e in errors]
            print(f"{args.framing}/{dataset}: {len(want) - 1} values, "
                  f"{'ok' if not errors else 'FAILED'}")
    for failure in failures:
        print(failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
