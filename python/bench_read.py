#!/usr/bin/python3
"""Reading every frame into numpy through avi, against the C++ readRGB24VideoFrame loop on
the same file (avi_python_bench_loop), in interleaved rounds; prints the medians and their
ratio per pixel format.

    PYTHONPATH=build/python /usr/bin/python3 python/bench_read.py [BUILD_DIR] [ROUNDS]
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time

import avi

build = sys.argv[1] if len(sys.argv) > 1 else "build"
rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 9
loop = os.path.join(build, "bin", "avi_python_bench_loop")


def cpp_round(path):
    out = subprocess.run([loop, path], check=True, capture_output=True, text=True).stdout
    return float(out.split()[0])


def python_round(path):
    with avi.open(path) as f:
        start = time.perf_counter()
        for i in range(f.frame_count):
            f.read_frame(i)
        return time.perf_counter() - start


with tempfile.TemporaryDirectory() as tmp:
    print(f"{'file':<28}{'C++ s':>10}{'Python s':>10}{'ratio':>8}")
    for pix_fmt, size in [("bgr24", "640x480"), ("bgr24", "1917x1080"), ("bgra", "640x480"), ("rgb555le", "640x480")]:
        path = os.path.join(tmp, f"{pix_fmt}.avi")
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", f"testsrc=size={size}:rate=25", "-t", "4",
                        "-c:v", "rawvideo", "-pix_fmt", pix_fmt, path], check=True)
        cpp, py = [], []
        python_round(path)  # warm the page cache
        for r in range(rounds):
            # Alternate which goes first, so that drift in the machine's load falls on both.
            for run in (cpp_round, python_round) if r % 2 == 0 else (python_round, cpp_round):
                (cpp if run is cpp_round else py).append(run(path))
        c, p = statistics.median(cpp), statistics.median(py)
        print(f"{pix_fmt + ' ' + size:<28}{c:>10.4f}{p:>10.4f}{p / c:>8.3f}")
