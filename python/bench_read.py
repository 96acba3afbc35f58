#!/usr/bin/python3
"""Reading every frame of a ~300 MB bgr24 file (330 frames of 640x480, page cache warm) through
avi, against OpenCV's VideoCapture and against the limit: os.preadv of each frame's stored bytes
into one buffer. The sides run interleaved, round after round; the table gives the median
seconds of each and the ratios the goals are stated in (above 1: avi is faster).

    PYTHONPATH=build/python /usr/bin/python3 python/bench_read.py [ROUNDS]
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time

import cv2
import numpy as np

# This folder holds the package's sources, not the built package that PYTHONPATH names.
sys.path = [p for p in sys.path if os.path.abspath(p or ".") != os.path.dirname(os.path.abspath(__file__))]
import avi  # noqa: E402

rounds = max(5, int(sys.argv[1]) if len(sys.argv) > 1 else 7)


def touch(frame):
    return int(frame.reshape(-1)[::4096].sum())  # every frame is looked at, cheaply


def fresh(path):  # v[i]: a new array a frame
    v = avi.open(path)
    for i in range(len(v)):
        touch(v[i])


def into(path):  # read_frame(i, out=buf): the caller's array, reused
    v = avi.open(path)
    buf = np.empty(v.shape[1:], v.dtype)
    for i in range(len(v)):
        touch(v.read_frame(i, out=buf))


def sliced(path):  # v[a:b]: 30 frames at a time, in one array
    v = avi.open(path)
    for a in range(0, len(v), 30):
        for frame in v[a:a + 30]:
            touch(frame)


def looped(path):  # the same 30 frames at a time, each its own array
    v = avi.open(path)
    for a in range(0, len(v), 30):
        for frame in [v[i] for i in range(a, min(a + 30, len(v)))]:
            touch(frame)


def opencv(path, reuse=False):
    capture = cv2.VideoCapture(path)
    buf = np.empty((480, 640, 3), np.uint8) if reuse else None
    while True:
        ok, frame = capture.read(buf) if reuse else capture.read()
        if not ok:
            break
        touch(frame)


def limit(path, table):  # os.preadv of each frame's stored bytes into one buffer
    buf = np.empty(int(table["size"].max()), np.uint8)
    fd = os.open(path, os.O_RDONLY)
    for offset, size in zip(table["offset"], table["size"]):
        os.preadv(fd, [memoryview(buf)[:size]], int(offset))
        touch(buf)
    os.close(fd)


with tempfile.TemporaryDirectory() as tmp:
    path = os.path.join(tmp, "bgr24.avi")
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=640x480:rate=30", "-frames:v",
                    "330", "-c:v", "rawvideo", "-pix_fmt", "bgr24", path], check=True)
    table = avi.open(path).frame_table
    sides = {"v[i]": lambda: fresh(path), "read_frame(i, out=buf)": lambda: into(path), "v[a:b]": lambda: sliced(path), "[v[i] for i in a:b]": lambda: looped(path),
             "cap.read()": lambda: opencv(path), "cap.read(buf)": lambda: opencv(path, True),
             "preadv": lambda: limit(path, table)}
    seconds = {name: [] for name in sides}
    for side in sides.values():  # warm the page cache and the code
        side()
    for _ in range(rounds):
        for name, side in sides.items():
            start = time.perf_counter()
            side()
            seconds[name].append(time.perf_counter() - start)
    median = {name: statistics.median(s) for name, s in seconds.items()}
    print(f"{os.path.getsize(path) >> 20} MiB, {len(table)} frames, {rounds} interleaved rounds, load "
          f"{os.getloadavg()[0]:.2f}; median seconds:")
    for name, s in median.items():
        print(f"  {name:<24}{s:8.4f}")
    print(f"{'goal':<50}ratio   target")
    for ours, theirs, target in [("v[i]", "cap.read()", 3), ("v[i]", "preadv", 0.6),
                                 ("read_frame(i, out=buf)", "cap.read(buf)", 1.5),
                                 ("read_frame(i, out=buf)", "preadv", 0.85), ("v[a:b]", "[v[i] for i in a:b]", 1)]:
        ratio = median[theirs] / median[ours]
        print(f"  {ours + ' against ' + theirs:<48}{ratio:6.2f}   >= {target} {'met' if ratio >= target else 'MISSED'}")
