# The avi package checked against independent readers: ffmpeg's decoding and packets, and
# OpenCV's VideoCapture and imdecode.
import io
import os
import subprocess
import sys
from fractions import Fraction

import cv2
import dask.array as da
import fsspec
import numpy as np
import pytest

import avi


def ffmpeg(*args):
    return subprocess.run(["ffmpeg", "-v", "error", "-y", *args], check=True, capture_output=True).stdout


def decoded(path, pix_fmt="bgr24", dtype=np.uint8, *filters):
    return np.frombuffer(ffmpeg("-i", path, "-map", "0:v", *filters, "-f", "rawvideo", "-pix_fmt", pix_fmt, "-"), dtype)


def make(path, codec, w, h, *extra, audio=False):
    inputs = ["-f", "lavfi", "-i", f"testsrc=size={w}x{h}:rate=10"]
    if audio:
        inputs += ["-f", "lavfi", "-i", "sine=f=440:r=11025", "-c:a", "pcm_s16le", "-ac", "2"]
    video = ["-c:v", "mjpeg"] if codec == "mjpeg" else ["-c:v", "rawvideo", "-pix_fmt", codec]
    ffmpeg(*inputs, *extra, *video, "-t", "0.7", str(path))


def opencv(path):
    capture, frames = cv2.VideoCapture(str(path)), []
    while (got := capture.read())[0]:
        frames.append(got[1])
    return np.array(frames)


# Frames of each pix_fmt written from numpy arrays of any strides, with audio for some: ffmpeg
# decodes the file to exactly the values given; the module and OpenCV read them back alike.
@pytest.mark.parametrize("pix_fmt,shape,dtype,audio_bits,strided", [
    ("bgr24", (11, 13, 3), np.uint8, 16, False), ("bgr24", (11, 13, 4), np.uint8, 8, True),
    ("bgra", (11, 13, 4), np.uint8, 16, True), ("gray", (11, 13), np.uint8, None, True),
    ("gray16le", (11, 13), np.uint16, None, False), ("pal8", (11, 13), np.uint8, None, True),
    ("rgb555le", (11, 13), np.uint16, None, False),
])
def test_pix_fmts_round_trip_as_ffmpeg_and_opencv_decode_them(tmp_path, pix_fmt, shape, dtype, audio_bits, strided):
    path, h, w = str(tmp_path / "out.avi"), shape[0], shape[1]
    rng = np.random.default_rng(len(pix_fmt))
    frames = rng.integers(0, 32768 if pix_fmt == "rgb555le" else np.iinfo(dtype).max, (5,) + shape, dtype=dtype)
    palette = rng.integers(0, 256, (256, 3), dtype=np.uint8) if pix_fmt == "pal8" else None
    sample = np.int16 if audio_bits == 16 else np.uint8
    sound = rng.integers(np.iinfo(sample).min, np.iinfo(sample).max, (2205, 2), dtype=sample)
    with avi.open(path, "w") as out:
        out.set_video(w, h, Fraction(25), pix_fmt=pix_fmt, palette=palette)
        if audio_bits:
            out.set_audio(22050, audio_bits, 2, 441 * 2 * audio_bits // 8)
        for i, frame in enumerate(frames):
            out.write_frame(np.ascontiguousarray(frame[::-1])[::-1] if strided else frame)
            if audio_bits:
                block = sound[441 * i:441 * (i + 1)]
                out.write_audio(block if strided else block.T.copy().T)
    stored = frames[..., :3] if pix_fmt == "bgr24" else frames
    given = decoded(path, pix_fmt, dtype)
    if pix_fmt == "pal8":  # indices, then the palette as B, G, R, A
        given = given.reshape(5, -1)
        assert np.array_equal(given[0, h * w:].reshape(256, 4)[:, :3], palette)
        given = given[:, :h * w]
    assert np.array_equal(given.reshape(stored.shape), stored)
    v = avi.open(path)
    expected = frames if "gray" in pix_fmt else opencv(path) if frames.ndim == 3 else frames[..., :3]
    assert (v.shape, v.dtype, v.ndim, len(v), v.fps) == (expected.shape, expected.dtype, expected.ndim, 5, 25)
    assert np.array_equal(v[:], expected) and v[0].flags.c_contiguous and v[0].flags.writeable
    if expected.ndim == 4:
        assert np.array_equal(opencv(path), expected)
        assert np.array_equal(decoded(path).reshape(expected.shape), expected)
    if pix_fmt == "bgr24":  # the strict path's frames: views over the stored rows, no copy
        strict = avi.open(path, strict=True).read_frame(0)
        assert np.array_equal(strict, expected[0]) and strict.strides[0] < 0
    if audio_bits:
        got = np.concatenate([v.read_audio(1000), v.read_audio()])
        assert got.dtype == sample and np.array_equal(got, sound) and v.read_audio().shape == (0, 2)
        assert got.tobytes() == ffmpeg("-i", path, "-map", "0:a", "-f", "s16le" if audio_bits == 16 else "u8", "-")


# A writer killed mid-way leaves a file that ffmpeg, OpenCV and the module read without repair,
# up to its last checkpoint at least, each frame and sample as written.
def test_a_killed_recording_plays_up_to_its_last_checkpoint(tmp_path):
    path = str(tmp_path / "rec.avi")
    script = f"""if 1:
        import avi, numpy as np, os, signal
        w = avi.open({path!r}, "w", checkpoint=3600)
        w.set_video(16, 8, 10, pix_fmt="gray")
        w.set_audio(8000, 16, 1, 1600)
        for i in range(30):
            w.write_frame(np.full((8, 16), i, np.uint8))
            w.write_audio(np.full((800, 1), i, np.int16))
            if i == 19:
                w.checkpoint()
        os.kill(os.getpid(), signal.SIGKILL)"""
    assert subprocess.run([sys.executable, "-c", script]).returncode == -9
    v = avi.open(path)
    frames = decoded(path, "gray").reshape(-1, 8, 16)
    assert len(v) == 30 and len(frames) >= 20 and np.array_equal(v[:len(frames)], frames)
    assert np.array_equal(frames[:, 0, 0], np.arange(len(frames)))
    cv = opencv(path)[..., 0]
    assert len(cv) >= 20 and np.array_equal(cv, frames[:len(cv)])
    assert np.array_equal(v.read_audio()[:, 0], np.repeat(np.arange(30), 800))
    assert avi.open(path, strict=True).read_raw(19)[0] == 19


# A jump in time: ffmpeg stores the frames it skips as empty chunks.
def test_a_video_is_an_array_of_frames_in_time(tmp_path):
    path = str(tmp_path / "jump.avi")
    make(path, "bgr24", 32, 24, "-vf", "setpts='PTS+if(gte(N,2),0.3/TB,0)'", "-fps_mode", "passthrough")
    v, shown = avi.open(path), decoded(path, "bgr24", np.uint8, "-vf", "fps=10").reshape(-1, 24, 32, 3)
    assert len(v) == len(shown) == 7 and v.shape == (7, 24, 32, 3)
    assert np.array_equal(v[:], shown) and np.array_equal(np.array(list(v)), shown)
    assert np.array_equal(v[-1], shown[-1]) and np.array_equal(v[1:7:2], shown[1:7:2])
    assert np.array_equal(v[[5, 0, 4]], shown[[5, 0, 4]]) and np.array_equal(v[np.array([2])], shown[[2]])
    for key in [(slice(1, 6, 2), slice(3, None), Ellipsis, 0), ([5, -2, 5], [1, 2, 3]), (4, 2), (np.arange(7) % 3 == 0,),
                (Ellipsis, 1)]:  # numpy's indexing over several axes, as dask and napari use it
        assert np.array_equal(v[key], shown[key])
    assert np.array_equal(da.from_array(v, chunks=(3, -1, -1, -1)).compute(), shown)
    table = v.frame_table
    assert list(table["size"]).count(0) == 3 and np.allclose(table["time"], np.arange(7) / 10)
    packets = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v", "-show_entries", "packet=size,pos",
                              "-of", "csv=p=0", path], check=True, capture_output=True, text=True).stdout.split()
    assert [f"{s},{o}" for o, s, _, _ in table if s] == packets
    out = np.empty(v.shape[1:], np.uint8)
    assert v.read_frame(4, out=out) is out and np.array_equal(out, shown[4])
    assert np.array_equal(v.read_frame(), shown[5])  # a numbered read moves the position
    with pytest.raises(IndexError):
        v[7]
    with pytest.raises(TypeError):
        v[1.5]


def test_mjpeg_frames_are_decoded_as_opencv_decodes_them_and_stored_as_given(tmp_path):
    path, copy = str(tmp_path / "mjpeg.avi"), str(tmp_path / "copy.avi")
    make(path, "mjpeg", 64, 48)
    v = avi.open(path)
    raw = [v.read_raw(i) for i in range(len(v))]
    assert v.fourcc == "MJPG" and b"".join(raw) == ffmpeg("-i", path, "-c:v", "copy", "-f", "mjpeg", "-")
    assert np.array_equal(v[:], [cv2.imdecode(np.frombuffer(j, np.uint8), cv2.IMREAD_COLOR) for j in raw])
    with avi.open(copy, "w") as out:
        out.set_video(64, 48, 10, fourcc="MJPG")
        for jpeg in raw:
            out.write_frame(jpeg)
    assert decoded(copy).tobytes() == decoded(path).tobytes()


def test_file_objects_read_as_the_path_does(tmp_path):
    path = tmp_path / "clip.avi"
    make(path, "bgr24", 16, 8)
    frames = avi.open(path)[:]
    data = path.read_bytes()

    class Trickling:  # read, seek and tell, and no more than 100 bytes a read
        def __init__(self):
            self.f = io.BytesIO(data)

        def read(self, n=-1):
            return self.f.read(min(n, 100))

        def seek(self, *where):
            return self.f.seek(*where)

        def tell(self):
            return self.f.tell()

    with open(path, "rb") as plain, fsspec.filesystem("file").open(str(path), "rb") as fs:
        for source in (io.BytesIO(data), plain, fs, Trickling()):
            assert np.array_equal(avi.open(source)[:], frames)

    class Failing(io.BytesIO):
        def readinto(self, b):
            raise RuntimeError("the storage went away")

    with pytest.raises(RuntimeError, match="storage went away"):
        avi.open(Failing(data))


def test_errors_carry_the_library_code(tmp_path):
    mjpeg, text, trunc = (str(tmp_path / n) for n in ("m.avi", "t.avi", "trunc.avi"))
    make(mjpeg, "mjpeg", 16, 16)
    make(trunc, "bgr24", 64, 64)
    with open(trunc, "r+b") as f:
        f.truncate(os.path.getsize(trunc) // 2)
    with open(text, "w") as f:
        f.write("not a RIFF file" * 8)
    writer = avi.open(str(tmp_path / "w.avi"), "w")
    cases = [
        (3, lambda: avi.open(str(tmp_path / "no" / "dir.avi"), "w")),
        (1, lambda: avi.open(text)),
        (5, lambda: avi.open(io.BytesIO(b"junk"))),
        (32, lambda: avi.open(mjpeg, strict=True).read_frame(0)),
        (10, lambda: avi.open(mjpeg).read_audio()),  # no audio stream
        (11, lambda: [frame for frame in avi.open(trunc, strict=True)]),
        (40, lambda: writer.write_frame(np.zeros((2, 2, 3), np.uint8))),
    ]
    for code, action in cases:
        with pytest.raises(avi.Error) as caught:
            action()
        assert caught.value.code == code and caught.value.message and isinstance(caught.value, OSError)
    with pytest.raises(FileNotFoundError) as missing:
        avi.open(tmp_path / "missing.avi")
    assert isinstance(missing.value, avi.Error) and missing.value.errno == 2 and missing.value.code == 3
    # A truncated file gives each whole frame it holds, exactly.
    assert np.array_equal(avi.open(trunc)[:], decoded(trunc).reshape(-1, 64, 64, 3)[:len(avi.open(trunc))])


def test_dask_array_computes_on_worker_processes(tmp_path):
    distributed = pytest.importorskip("dask.distributed")
    path = str(tmp_path / "clip.avi")
    make(path, "gray", 16, 8)
    lazy = avi.dask_array(path, frames_per_chunk=3)
    assert lazy.shape == avi.open(path).shape and lazy.chunks[0] == (3, 3, 1)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            distributed.Client(cluster):
        assert np.array_equal(lazy.compute(), decoded(path, "gray").reshape(7, 8, 16))


def test_pip_installs_the_package_offline(tmp_path):
    build = os.environ.get("AVI_CMAKE_BUILD_DIR")  # ctest names its build: pip takes it as it is
    if not build:
        pytest.skip("AVI_CMAKE_BUILD_DIR is not set")
    venv, clip = tmp_path / "venv", str(tmp_path / "clip.avi")
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", venv], check=True)
    subprocess.run([venv / "bin" / "pip", "install", "-q", "--no-build-isolation", "--no-index",
                    os.path.join(os.path.dirname(__file__), "..")], check=True, env=env, cwd=tmp_path)
    make(clip, "gray", 16, 8)
    shown = subprocess.run([venv / "bin" / "python", "-c", "import avi, sys; print(avi.__file__, avi.open(sys.argv[1]).shape)",
                            clip], check=True, env=env, capture_output=True, text=True).stdout
    assert shown.startswith(str(venv)) and shown.endswith("(7, 8, 16)\n")


def test_readme_python_examples_run(tmp_path, monkeypatch):
    readme = open(os.path.join(os.path.dirname(__file__), "..", "..", "README.md")).read()
    blocks = [b.split("```")[0] for b in readme.split("```python\n")[1:]]
    assert blocks
    make(tmp_path / "clip.avi", "bgr24", 640, 480, audio=True)
    monkeypatch.chdir(tmp_path)
    scope = {}  # the blocks read as one session: later ones use the first one's import
    for block in blocks:
        exec(block, scope)
    with avi.open("out.avi") as out:
        assert (out.frame_count, out.channels, out.bits_per_sample) == (1, 2, 16)
