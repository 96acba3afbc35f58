#!/usr/bin/env python3
"""Object storage: reading and writing s3:// against a local Swift server with its S3 API.

  bench/s3_bench.py [--rounds N] [--rtt-ms 50] [--read-mb 300] [--write-mb 1000] [--only read|write]

Needs the build (build-bench/bin/avitool, or --tool), Debian's swift packages, boto3, curl
and ffmpeg. Starts the server and a latency proxy (bench/latency_proxy.py) in a temporary
folder and stops them. Rounds are interleaved (ours, the reference, ours, ...); the table gives
medians and the ratio of throughputs (above 1: ours is faster).
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PY = "/usr/bin/python3"  # Debian's: it has boto3


def run(cmd, **kw):
    t = time.perf_counter()
    subprocess.run(cmd, check=True, **kw)
    return time.perf_counter() - t


def boto(code, env):
    return subprocess.run([PY, "-c", "import boto3, os, sys\n"
                           "s = boto3.client('s3', endpoint_url=os.environ['AWS_ENDPOINT_URL'])\n" + code],
                          env=env, check=True, capture_output=True, text=True).stdout.strip()


def presign(env, key):
    return boto(f"print(s.generate_presigned_url('get_object', Params={{'Bucket': 'bench', 'Key': '{key}'}}, "
                "ExpiresIn=36000))", env)


class Spool:
    """Samples the disk blocks of the plug-in's spool files while a write runs."""

    def __init__(self, folder):
        self.folder, self.peak, self.stop = folder, 0, False

    def __enter__(self):
        def sample():
            while not self.stop:
                used = 0
                for n in os.listdir(self.folder):
                    if n.startswith("avi-upload-"):
                        try:
                            used += os.stat(os.path.join(self.folder, n)).st_blocks * 512
                        except OSError:
                            pass
                self.peak = max(self.peak, used)
                time.sleep(0.02)
        self.thread = threading.Thread(target=sample)
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop = True
        self.thread.join()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--rtt-ms", type=float, default=50)
    ap.add_argument("--read-mb", type=int, default=300)
    ap.add_argument("--write-mb", type=int, default=1000)
    ap.add_argument("--only")
    ap.add_argument("--tool", default=os.path.join(ROOT, "build-bench/bin/avitool"))
    a = ap.parse_args()
    tool = a.tool
    with tempfile.TemporaryDirectory() as work:
        spool_dir = os.path.join(work, "tmp")
        os.mkdir(spool_dir)
        os.mkdir(os.path.join(work, "swift"))
        server = os.path.join(ROOT, "scripts/s3-test-server.sh")
        ep = subprocess.run([server, "start", os.path.join(work, "swift")], check=True, capture_output=True,
                            text=True).stdout.strip()
        def link(*extra):
            p = subprocess.Popen([sys.executable, os.path.join(ROOT, "bench/latency_proxy.py"), "--to",
                                  ep.split("//")[1], "--rtt-ms", str(a.rtt_ms), *extra], stdout=subprocess.PIPE,
                                 stderr=subprocess.DEVNULL, text=True)
            proxies.append(p)
            return "http://127.0.0.1:" + p.stdout.readline().strip()

        proxies = []
        far = link()
        # A link whose TCP window stays small (2 MiB): one connection moves 2 MiB per round trip.
        narrow = link("--window", str(2 << 20))
        env = dict(os.environ, AWS_ACCESS_KEY_ID="test:tester", AWS_SECRET_ACCESS_KEY="testing",
                   AWS_REGION="us-east-1", AWS_ENDPOINT_URL=ep, TMPDIR=spool_dir)
        env_far = dict(env, AWS_ENDPOINT_URL=far)
        env_narrow = dict(env, AWS_ENDPOINT_URL=narrow)
        rows = []
        try:
            boto("s.create_bucket(Bucket='bench')", env)
            out = subprocess.DEVNULL

            if a.only in (None, "read"):
                clip = os.path.join(work, "read.avi")
                n = a.read_mb * 1000000 // 921600
                subprocess.run(f"ffmpeg -v error -f lavfi -i testsrc=size=640x480:rate=25 -frames:v {n} -f rawvideo "
                               f"-pix_fmt bgr24 - | {tool} -q create {clip} --size 640x480 --fps 25 --raw - "
                               "--checkpoint 0", shell=True, check=True)
                size = os.path.getsize(clip)
                boto(f"s.upload_file('{clip}', 'bench', 'read.avi')", env)
                near_url, far_url = presign(env, "read.avi"), presign(env_far, "read.avi")
                narrow_url = presign(env_narrow, "read.avi")
                cases = {
                    "ours, loopback": lambda: run([tool, "frames", "s3://bench/read.avi", "-o", "-"], env=env,
                                                  stdout=out),
                    "curl, loopback": lambda: run(["curl", "-sf", "-o", "/dev/null", near_url]),
                    f"ours, {a.rtt_ms:g} ms": lambda: run([tool, "frames", "s3://bench/read.avi", "-o", "-"],
                                                          env=env_far, stdout=out),
                    f"curl, {a.rtt_ms:g} ms": lambda: run(["curl", "-sf", "-o", "/dev/null", far_url]),
                    f"ffmpeg http, {a.rtt_ms:g} ms": lambda: run(["ffmpeg", "-v", "error", "-i", far_url, "-map", "0",
                                                                  "-c", "copy", "-f", "null", "-"]),
                    "ours, narrow": lambda: run([tool, "frames", "s3://bench/read.avi", "-o", "-"], env=env_narrow,
                                                stdout=out),
                    "curl, narrow": lambda: run(["curl", "-sf", "-o", "/dev/null", narrow_url]),
                    "ffmpeg http, narrow": lambda: run(["ffmpeg", "-v", "error", "-i", narrow_url, "-map", "0", "-c",
                                                        "copy", "-f", "null", "-"]),
                }
                t = {k: [] for k in cases}
                for _ in range(a.rounds):
                    for k, f in cases.items():
                        t[k].append(f())
                med = {k: statistics.median(v) for k, v in t.items()}
                mbs = {k: size / v / 1e6 for k, v in med.items()}
                far_ours, far_curl, far_ff = (f"ours, {a.rtt_ms:g} ms", f"curl, {a.rtt_ms:g} ms",
                                              f"ffmpeg http, {a.rtt_ms:g} ms")
                rows += [
                    (f"read every frame, {size / 1e6:.0f} MB, loopback: ours vs one curl GET",
                     f"{mbs['ours, loopback']:.0f} vs {mbs['curl, loopback']:.0f} MB/s",
                     med["curl, loopback"] / med["ours, loopback"], "0.9"),
                    (f"read every frame, {a.rtt_ms:g} ms round trip: ours vs one curl GET",
                     f"{mbs[far_ours]:.0f} vs {mbs[far_curl]:.0f} MB/s", med[far_curl] / med[far_ours], "0.8"),
                    (f"read every frame, {a.rtt_ms:g} ms round trip: ours vs ffmpeg over http",
                     f"{mbs[far_ours]:.0f} vs {mbs[far_ff]:.0f} MB/s", med[far_ff] / med[far_ours], "5"),
                    (f"the same, {a.rtt_ms:g} ms and a 2 MiB window: ours vs one curl GET",
                     f"{mbs['ours, narrow']:.0f} vs {mbs['curl, narrow']:.0f} MB/s",
                     med["curl, narrow"] / med["ours, narrow"], "0.8"),
                    (f"the same, {a.rtt_ms:g} ms and a 2 MiB window: ours vs ffmpeg over http",
                     f"{mbs['ours, narrow']:.0f} vs {mbs['ffmpeg http, narrow']:.0f} MB/s",
                     med["ffmpeg http, narrow"] / med["ours, narrow"], "5"),
                ]
            if a.only in (None, "write"):
                raw = os.path.join(work, "write.raw")
                n = a.write_mb * 1000000 // 921600
                subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc=size=640x480:rate=25",
                                "-frames:v", str(n), "-f", "rawvideo", "-pix_fmt", "bgr24", raw], check=True)
                done = os.path.join(work, "write.avi")
                with open(raw, "rb") as f:
                    subprocess.run([tool, "-q", "create", done, "--size", "640x480", "--fps", "25", "--raw", "-",
                                    "--checkpoint", "0"], stdin=f, check=True)
                size = os.path.getsize(done)
                peaks = []

                def ours():
                    with open(raw, "rb") as f, Spool(spool_dir) as s:
                        d = run([tool, "-q", "create", "-y", "s3://bench/w.avi", "--size", "640x480", "--fps", "25",
                                 "--raw", "-"], stdin=f, env=env)
                    peaks.append(s.peak)
                    return d

                cases = {"ours": ours,
                         "boto3": lambda: run([PY, "-c", "import boto3, os, sys\n"
                                               "boto3.client('s3', endpoint_url=os.environ['AWS_ENDPOINT_URL'])"
                                               f".upload_file('{done}', 'bench', 'b.avi')"], env=env)}
                t = {k: [] for k in cases}
                for _ in range(a.rounds):
                    for k, f in cases.items():
                        t[k].append(f())
                med = {k: statistics.median(v) for k, v in t.items()}
                rows.append((f"write {size / 1e6:.0f} MB to s3:// from a raw pipe vs boto3 upload_file of the "
                             "finished file", f"{med['ours']:.2f} vs {med['boto3']:.2f} s "
                             f"(spool at most {max(peaks) / 2**20:.0f} MiB)", med["boto3"] / med["ours"], "0.83"))
        finally:
            for p in proxies:
                p.kill()
            subprocess.run([server, "stop", os.path.join(work, "swift")])
    print(f"Load average at end: {open('/proc/loadavg').read().split()[:3]}, {a.rounds} interleaved rounds\n")
    print("| case | figures (medians) | ratio | goal |\n|---|---|---|---|")
    for r in rows:
        print(f"| {r[0]} | {r[1]} | {r[2]:.2f} | {r[3]} |")


if __name__ == "__main__":
    main()
