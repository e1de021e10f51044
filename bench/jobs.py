"""Times converting many data files with -j 1 and -j 2 (or other counts)
against the I/O floor, in the cases a user meets, and prints a table.

usage: jobs.py --build DIR [--work DIR] [--runs N] [--jobs 1,2]
               [--sets small,large] [--cases CASE,...] [--sleep S]

Two sets of data files of make_data's values: `small`, 1,000 files of
100 records x 100 values (40 KB each), and `large`, 8 files of 2,000 records
x 10,000 values (80 MB each). Each is converted by one command,
`unf2mat -q -j N FILE...`, each file to its own MAT-file beside it. The
floor reads each data file and writes and syncs a file of its MAT-file's
size, one file after another (the sizes come from an untimed conversion
first). The cases are run_bench.py's: first (every output removed before
each run) or repeated; warm or cold (sync, then --sleep seconds). In each
round the programs run in turn; `x floor` and `x j1` are medians of the
ratios of a round.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SETS = {"small": (1000, 100, 100), "large": (8, 2000, 10_000)}
CASES = ("first-warm", "first-cold", "repeated-warm", "repeated-cold")
MIB = 1 << 20


def floor(pairs):
    """Reads each data file, writes and syncs its output: what no conversion
    can do without."""
    buffer = bytearray(1 << 20)
    view = memoryview(buffer)
    for data, output, size in pairs:
        with open(data, "rb", buffering=0) as f:
            while f.readinto(buffer):
                pass
        fd = os.open(output, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o666)
        left = size
        while left:
            left -= os.write(fd, view[: min(left, len(buffer))])
        os.fdatasync(fd)
        os.close(fd)


def make_set(make_data, work, name):
    """The set's directory and its data files, made once and kept."""
    files, records, values = SETS[name]
    directory = os.path.join(work, f"jobs_{name}")
    os.makedirs(directory, exist_ok=True)
    paths = [os.path.join(directory, f"f{i:04d}.dat") for i in range(files)]
    for path in paths:
        if not os.path.exists(path):
            subprocess.run([make_data, path, str(records), str(values)],
                           check=True)
    return paths


def timed(command, outputs, case, sleep):
    """One run: wall seconds and peak RSS in bytes."""
    if case.startswith("first"):
        for output in outputs:
            if os.path.exists(output):
                os.remove(output)
    subprocess.run(["sync"], check=True)
    if case.endswith("cold"):
        time.sleep(sleep)
    start = time.perf_counter()
    proc = subprocess.Popen(command, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"{' '.join(command[:4])} ... failed with status {status}")
    return wall, usage.ru_maxrss * 1024


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--work", default="/tmp/unf2mat-bench")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--jobs", default="1,2")
    parser.add_argument("--sets", default="small,large")
    parser.add_argument("--cases", default="first-warm,first-cold")
    parser.add_argument("--sleep", type=float, default=3)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    converter = os.path.join(build, "unf2mat")
    make_data = os.path.join(build, "bench", "unf2mat_make_data")
    jobs = [int(j) for j in args.jobs.split(",")]
    cases = args.cases.split(",")
    for case in cases:
        if case not in CASES:
            sys.exit(f"unknown case {case}; the cases are {', '.join(CASES)}")
    floor_script = (f"import json, sys; sys.path.insert(0, {HERE!r}); "
                    "import jobs; jobs.floor(json.load(open(sys.argv[1])))")

    for name in args.sets.split(","):
        paths = make_set(make_data, args.work, name)
        outputs = [p[:-4] + ".mat" for p in paths]
        floor_outputs = [p[:-4] + ".floor" for p in paths]
        commands = {j: [converter, "-q", "-j", str(j), *paths] for j in jobs}
        # An untimed conversion gives the sizes the floor writes.
        timed(commands[jobs[0]], outputs, "first-warm", 0)
        pairs = [(p, f, os.path.getsize(o))
                 for p, f, o in zip(paths, floor_outputs, outputs)]
        pairs_file = os.path.join(args.work, f"jobs_{name}.json")
        with open(pairs_file, "w") as f:
            json.dump(pairs, f)
        programs = {f"j{j}": (commands[j], outputs) for j in jobs}
        programs["floor"] = ([sys.executable, "-c", floor_script, pairs_file],
                             floor_outputs)
        files, records, values = SETS[name]
        data_mb = sum(os.path.getsize(p) for p in paths) / 1e6
        out_mb = sum(size for _, _, size in pairs) / 1e6
        for case in cases:
            times = {label: [] for label in programs}
            rss = {label: [] for label in programs}
            if case.startswith("repeated"):
                for command, outs in programs.values():
                    timed(command, outs, "first-warm", 0)
            for _ in range(args.runs):
                for label, (command, outs) in programs.items():
                    wall, peak = timed(command, outs, case, args.sleep)
                    times[label].append(wall)
                    rss[label].append(peak)
            print(f"\n{name}: {files} files of {records} x {values} "
                  f"({data_mb:,.0f} MB of data, {out_mb:,.0f} MB out), "
                  f"{case}, medians of {args.runs} rounds")
            print(f"{'program':>8} {'s':>8} {'x floor':>7} {'x j1':>6} "
                  f"{'RSS MiB':>8}")
            for label in programs:
                t = times[label]
                over_floor = statistics.median(
                    a / b for a, b in zip(t, times["floor"]))
                over_j1 = (statistics.median(
                    a / b for a, b in zip(t, times["j1"]))
                    if "j1" in times else float("nan"))
                print(f"{label:>8} {statistics.median(t):>8.3f} "
                      f"{over_floor:>7.2f} {over_j1:>6.2f} "
                      f"{max(rss[label]) / MIB:>8.0f}", flush=True)
        for output in outputs + floor_outputs:
            if os.path.exists(output):
                os.remove(output)


if __name__ == "__main__":
    main()
