"""Times the converter on data files of 50,000,000 values in several shapes,
side by side with the I/O floor and the scipy route, and prints a table.

usage: run_bench.py --build DIR [--work DIR] [--runs N] [--scipy-timeout S]
                    [--shapes NAME,...] [--baseline CONVERTER]

With --baseline, another converter binary (an earlier build, say) is timed in
turn with this one, and its median and the ratio are printed too.
"""
import argparse
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SYSTEM_PYTHON = "/usr/bin/python3"

# name: (records, values per record)
SHAPES = {
    "10x5000000": (10, 5_000_000),
    "5000000x10": (5_000_000, 10),
    "50000000x1": (50_000_000, 1),
    "7071x7071": (7071, 7071),
    "1x10000000": (1, 10_000_000),
}
# Past what a matrix held in memory allowed: --shapes 20000x10000,50000000x10.
LARGE_SHAPES = {
    "20000x10000": (20_000, 10_000),
    "50000000x10": (50_000_000, 10),
}
# Peak memory allowed a conversion from a regular file, whatever its size.
RSS_BOUND = 96 << 20

MIB = 1 << 20
WARM_MIB = 1200


def timed(cmd, cwd, warmer, output, stdin_text=None, timeout=None):
    """Wall seconds and peak RSS in bytes of one run, or None on timeout.
    The output of the run before is removed first, so that no program starts
    by reusing the memory of its own old output: the converter keeps an old
    MAT-file until its new one is whole, which a truncating writer does not."""
    if os.path.exists(os.path.join(cwd, output)):
        os.remove(os.path.join(cwd, output))
    subprocess.run(["sync"], check=True)
    if warmer:
        subprocess.run(warmer, check=True)
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, cwd=cwd, stdin=subprocess.PIPE,
                            stdout=subprocess.DEVNULL)
    if stdin_text is not None:
        proc.stdin.write(stdin_text.encode())
    proc.stdin.close()
    deadline = None if timeout is None else start + timeout
    while True:
        pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
        if pid != 0:
            break
        if deadline is not None and time.perf_counter() > deadline:
            proc.kill()
            os.wait4(proc.pid, 0)
            return None
        time.sleep(0.002)
    wall = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"{cmd[0]} failed with status {status}")
    return wall, usage.ru_maxrss * 1024


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--work", default="/tmp/unf2mat-bench")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--scipy-timeout", type=float, default=150)
    parser.add_argument("--shapes", default=",".join(SHAPES))
    parser.add_argument("--skip-scipy", action="store_true")
    parser.add_argument("--baseline", help="a converter to compare with")
    parser.add_argument("--cold", action="store_true",
                        help="do not warm free memory before each run")
    parser.add_argument("--sleep", type=float, default=3,
                        help="with --cold, seconds to wait before each run, "
                             "so that the host takes back what the last run "
                             "freed")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    converter = os.path.join(build, "unf2mat")
    floor = os.path.join(build, "bench", "unf2mat_io_floor")
    make_data = os.path.join(build, "bench", "unf2mat_make_data")
    # On a virtual machine whose host takes back free memory, the first touch
    # of it costs far more than the work; every run gets the same start.
    warm_memory = os.path.join(build, "bench", "unf2mat_warm_memory")
    os.makedirs(args.work, exist_ok=True)

    print(f"{'shape':>12} {'values':>11} {'unf2mat s':>9} {'floor s':>8} "
          f"{'x floor':>7} {'ns/value':>8} {'scipy s':>8} {'scipy/us':>8} {'RSS MiB':>8} "
          f"{'bound':>6}" +
          (f" {'base s':>7} {'x base':>6}" if args.baseline else ""))
    for name in args.shapes.split(","):
        records, width = {**SHAPES, **LARGE_SHAPES}[name]
        data = os.path.join(args.work, f"{name}.dat")
        if not os.path.exists(data):
            subprocess.run([make_data, data, str(records), str(width)],
                           check=True)
        control = f"{name}.dat\n\n\n\nconverted_{name}.mat\nm\n"
        converted = os.path.join(args.work, f"converted_{name}.mat")
        # Enough for the MAT-file's pages too: the converter keeps the old
        # MAT-file until the new one is whole, while the floor truncates its
        # old output first and reuses its pages.
        warm_mib = max(WARM_MIB, (8 * records * width >> 20) * 5 // 4)
        warmer = (["sleep", str(args.sleep)] if args.cold else
                  [warm_memory, str(warm_mib)])
        ours, floors, scipys, rss, bases = [], [], [], [], []
        scipy_gave_up = args.skip_scipy or name in LARGE_SHAPES
        # Alternate, so that the machine's state is shared alike.
        for _ in range(args.runs):
            wall, peak = timed([converter], args.work, warmer,
                               f"converted_{name}.mat", control)
            ours.append(wall)
            rss.append(peak)
            size = str(os.path.getsize(converted))
            if args.baseline and name in SHAPES:
                bases.append(timed([os.path.abspath(args.baseline)],
                                   args.work, warmer, f"converted_{name}.mat",
                                   control)[0])
            floors.append(timed([floor, data, f"floor_{name}.out", size],
                                args.work, warmer, f"floor_{name}.out")[0])
            if not scipy_gave_up:
                result = timed([SYSTEM_PYTHON,
                                os.path.join(HERE, "scipy_route.py"), data,
                                f"scipy_{name}.mat", "m"],
                               args.work, warmer, f"scipy_{name}.mat",
                               timeout=args.scipy_timeout)
                if result is None:
                    scipy_gave_up = True
                else:
                    scipys.append(result[0])
        values = records * width
        ours_s = statistics.median(ours)
        floor_s = statistics.median(floors)
        if args.skip_scipy or name in LARGE_SHAPES:
            scipy_text = ratio_text = "-"
        elif scipy_gave_up:
            scipy_text = f">{args.scipy_timeout:.0f}"
            ratio_text = f">{args.scipy_timeout / ours_s:.0f}"
        else:
            scipy_s = statistics.median(scipys)
            scipy_text = f"{scipy_s:.2f}"
            ratio_text = f"{scipy_s / ours_s:.0f}"
        bound = RSS_BOUND
        print(f"{name:>12} {values:>11,} {ours_s:>9.3f} {floor_s:>8.3f} "
              f"{ours_s / floor_s:>7.2f} {1e9 * ours_s / values:>8.2f} "
              f"{scipy_text:>8} {ratio_text:>8} "
              f"{max(rss) / MIB:>8.0f} {bound / MIB:>6.0f}" +
              (f" {statistics.median(bases):>7.3f} "
               f"{ours_s / statistics.median(bases):>6.2f}" if bases else ""),
              flush=True)
        for leftover in (f"floor_{name}.out", f"scipy_{name}.mat",
                         f"converted_{name}.mat"):
            path = os.path.join(args.work, leftover)
            if os.path.exists(path):
                os.remove(path)
    print(f"medians of {args.runs} runs; unf2mat, floor and scipy alternate; "
          f"{f'cold, {args.sleep:g} s of sleep' if args.cold else f'{WARM_MIB} MiB or 1.25 times the MAT-file warmed'} "
          f"before each")


if __name__ == "__main__":
    main()
