# The avi module checked against independent readers: OpenCV's VideoCapture and ffmpeg.
import os
import subprocess
from fractions import Fraction

import cv2
import numpy as np
import pytest

import avi


def ffmpeg(*args):
    return subprocess.run(["ffmpeg", "-v", "error", "-y", *args], check=True, capture_output=True).stdout


def ffmpeg_frames(path, h, w):
    raw = ffmpeg("-i", path, "-map", "0:v", "-f", "rawvideo", "-pix_fmt", "bgr24", "-")
    return np.frombuffer(raw, np.uint8).reshape(-1, h, w, 3)


def make(path, pix_fmt, w, h, audio=None, channels=2):
    inputs = ["-f", "lavfi", "-i", f"testsrc=size={w}x{h}:rate=10"]
    codec = ["-c:v", "rawvideo", "-pix_fmt", pix_fmt] if pix_fmt != "mjpeg" else ["-c:v", "mjpeg"]
    if audio:
        inputs += ["-f", "lavfi", "-i", "sine=f=440:r=11025"]
        codec += ["-c:a", audio, "-ac", str(channels)]
    ffmpeg(*inputs, "-t", "0.7", *codec, str(path))


def test_mjpeg_chunks_come_back_as_stored_and_are_stored_as_given(tmp_path):
    path, copy = str(tmp_path / "mjpeg.avi"), str(tmp_path / "copy.avi")
    make(path, "mjpeg", 64, 48)
    with avi.open(path) as f:
        assert f.fourcc == "MJPG"
        raw = [f.read_raw(i) for i in range(f.frame_count)]
    assert b"".join(raw) == ffmpeg("-i", path, "-c:v", "copy", "-f", "mjpeg", "-")
    with avi.open(copy, "w") as out:
        out.set_video(64, 48, 10, fourcc="MJPG")
        for jpeg in raw:
            out.write_frame(jpeg)
    assert ffmpeg_frames(copy, 48, 64).tobytes() == ffmpeg_frames(path, 48, 64).tobytes()


# Frames and audio from numpy arrays of any strides, written and read back through the module,
# as ffmpeg and OpenCV decode the file.
@pytest.mark.parametrize("bits,channels,strided,audio_bits", [
    (24, 3, False, 16), (24, 3, True, 8), (24, 4, False, None), (32, 4, True, 16), (32, 3, False, None),
])
def test_numpy_frames_and_audio_round_trip_as_ffmpeg_and_opencv_decode_them(
        tmp_path, bits, channels, strided, audio_bits):
    path = str(tmp_path / "out.avi")
    rng = np.random.default_rng(bits + channels)
    h, w = 11, 13
    frames = rng.integers(0, 256, (5, h, w, channels), dtype=np.uint8)
    dtype = np.int16 if audio_bits == 16 else np.uint8
    sound = rng.integers(np.iinfo(dtype).min, np.iinfo(dtype).max, (2205, 2), dtype=dtype)
    with avi.open(path, "w") as out:
        out.set_video(w, h, Fraction(25), bits=bits)
        if audio_bits:
            out.set_audio(22050, audio_bits, 2, 441 * 2 * audio_bits // 8)
        for i, frame in enumerate(frames):
            out.write_frame(np.ascontiguousarray(frame[::-1])[::-1] if strided else frame)
            if audio_bits:
                block = sound[441 * i:441 * (i + 1)]
                out.write_audio(block if strided else block.T.copy().T)
    expected = frames[..., :3]
    assert np.array_equal(ffmpeg_frames(path, h, w), expected)
    capture = cv2.VideoCapture(path)
    with avi.open(path) as f:
        assert (f.width, f.height, f.frame_count, f.fps, f.has_audio) == (w, h, 5, 25, bool(audio_bits))
        ours = list(f)
        for i, frame in enumerate(ours):
            ok, cv = capture.read()
            assert ok and frame.dtype == np.uint8 and np.array_equal(frame, expected[i]), f"frame {i}"
            assert np.array_equal(cv, expected[i]), f"frame {i} differs from OpenCV"
        # Frames are arrays of their own; the strict path's are views over the bottom-up rows padded
        # to 4 bytes, top row first: no copy.
        assert ours[0].flags.c_contiguous and ours[0].flags.writeable
        strict = avi.open(path, strict=True).read_frame(0)
        assert np.array_equal(strict, ours[0]) and strict.strides == (-40, 3, 1) and strict.base.nbytes >= 40 * h
        # Numbered, sequential and negative reads meet the same frames; a numbered read moves the position.
        assert np.array_equal(f.read_frame(1), ours[1]) and np.array_equal(f.read_frame(), ours[2])
        assert np.array_equal(f.read_frame(-1), ours[-1]) and f.read_frame() is None
        if audio_bits:
            got = np.concatenate([f.read_audio(1000), f.read_audio()])
            theirs = ffmpeg("-i", path, "-map", "0:a", "-f", "s16le" if audio_bits == 16 else "u8", "-")
            assert got.dtype == dtype and np.array_equal(got, sound) and got.tobytes() == theirs
            assert f.read_audio().shape == (0, 2)


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
        (3, lambda: avi.open(str(tmp_path / "missing.avi"))),
        (3, lambda: avi.open(str(tmp_path / "no" / "dir.avi"), "w")),
        (1, lambda: avi.open(text)),
        (32, lambda: avi.open(mjpeg).read_frame(0)),
        (10, lambda: avi.open(mjpeg).read_audio()),  # no audio stream
        (11, lambda: [frame for frame in avi.open(trunc, strict=True)]),
        (40, lambda: writer.write_frame(np.zeros((2, 2, 3), np.uint8))),
    ]
    for code, action in cases:
        with pytest.raises(avi.Error) as caught:
            action()
        assert caught.value.code == code and caught.value.message and isinstance(caught.value, OSError)


def test_readme_python_examples_run(tmp_path, monkeypatch):
    readme = open(os.path.join(os.path.dirname(__file__), "..", "..", "README.md")).read()
    blocks = [b.split("```")[0] for b in readme.split("```python\n")[1:]]
    assert blocks
    make(tmp_path / "clip.avi", "bgr24", 640, 480, "pcm_s16le", 2)
    monkeypatch.chdir(tmp_path)
    scope = {}  # the blocks read as one session: later ones use the first one's import
    for block in blocks:
        exec(block, scope)
    with avi.open("out.avi") as out:
        assert (out.frame_count, out.channels, out.bits_per_sample) == (1, 2, 16)
