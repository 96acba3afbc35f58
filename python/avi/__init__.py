"""Read and write AVI files as numpy arrays.

Reading::

    v = avi.open("clip.avi")     # a path, a URL, or a file object: io.BytesIO, open(p, "rb"), fsspec
    len(v), v[0], v[-1]          # a frame: (height, width, 3) BGR uint8, top row first, as OpenCV
    v[10:20], v[::5], v[[3, 1]]  # frames stacked: (n, height, width, 3)
    v.shape, v.dtype, v.ndim     # as the array of all frames would have them
    v.frame_table                # offset, size (0: a dropped frame), key, time of every frame
    v.read_audio()               # (samples, channels), uint8 or int16

Grey video (FOURCC Y800, or b16g) reads as (height, width) uint8 or uint16 frames; MJPEG frames
are decoded to BGR (read_raw gives the stored JPEG). Every frame is what ffmpeg and OpenCV read
from the same file, or avi.Error says which frame and why; strict=True reads through the
library's specified path instead.

Writing::

    with avi.open("out.avi", "w") as out:
        out.set_video(640, 480, 25, pix_fmt="bgr24")
        out.write_frame(frame)

dask_array(src) gives a lazy dask array over a file, chunked along frames.
"""

import errno as _errno
import operator as _operator
import os as _os

import numpy as _np

from . import _avi
from ._avi import Error, Writer

__all__ = ["open", "Video", "Writer", "Error", "NotFoundError", "dask_array", "FRAME_TABLE_DTYPE"]

#: The fields of Video.frame_table.
FRAME_TABLE_DTYPE = _np.dtype([("offset", "<i8"), ("size", "<i8"), ("key", "?"), ("time", "<f8")])


class NotFoundError(Error, FileNotFoundError):
    """A file that does not exist: an avi.Error that is also a FileNotFoundError (errno ENOENT)."""


def open(src, mode="r", *, strict=False, checkpoint=1.0):
    """Opens an AVI file for reading (mode "r": returns a Video) or writing ("w": a Writer).

    src is a path (str, bytes or os.PathLike), a URL (http://, https://), or for reading a file
    object with read, seek and tell (readinto is used when it has one). Reading gives every
    frame as ffmpeg reads it: files with absolute idx1 offsets, without an index, cut short or
    with dropped frames included. strict=True reads through the library's strict path.
    Failures raise avi.Error (an OSError) with the library's .code and a .message that says why.
    A file being written is made readable every checkpoint seconds (0: only when closed), so a
    recording cut short plays up to its last checkpoint. A URL output (s3://...) has no
    checkpoints: its parts upload as they fill.
    """
    if mode in ("w", "wb"):
        return Writer(_os.fsencode(src), checkpoint)
    if mode not in ("r", "rb"):
        raise ValueError(f"mode must be 'r' or 'w', not {mode!r}")
    if hasattr(src, "read"):
        if strict:
            raise ValueError("strict=True reads paths and URLs only")
        return Video(_avi.Reader(src), strict=False)
    name = _os.fsencode(src)
    try:
        return Video(_avi.StrictReader(name) if strict else _avi.Reader(name), strict=strict)
    except Error as e:
        path = _os.fsdecode(name)
        if "://" in path or _os.path.exists(path):
            raise
        missing = NotFoundError(_errno.ENOENT, e.message, path)
        missing.code, missing.message = e.code, e.message
        raise missing from None


class Video:
    """An AVI file open for reading, as a sequence of frames (made by avi.open).

    Indexing follows Python and numpy: v[i] and v[-1] give one frame; v[a:b], v[a:b:k],
    v[[3, 1, 4]] and a boolean mask give the frames stacked in one array; v[a:b, y0:y1, :, 0]
    reads those frames and indexes within them; an index out of range raises IndexError, one
    that is not an integer TypeError. Iteration gives every frame in turn. Frame n is shown
    at n / fps: a dropped frame gives the frame before it, as OpenCV does.
    """

    def __init__(self, reader, strict):
        self._r = reader
        self._strict = strict

    # ---- the array ----
    @property
    def shape(self):
        """(frames, height, width, 3), or (frames, height, width) for grey video."""
        return (len(self),) + self._frame_shape()

    @property
    def dtype(self):
        """numpy dtype of the frames: uint8, or uint16 for 16-bit grey video."""
        return _np.dtype(_np.uint8) if self._strict else self._r.dtype

    @property
    def ndim(self):
        """Number of dimensions of shape."""
        return len(self.shape)

    def __len__(self):
        return self._r.frame_count

    def __iter__(self):
        if self._strict:  # the library's iteration says why a file without frames has none
            yield from self._r
            return
        for i in range(len(self)):
            yield self.read_frame(i)

    def __getitem__(self, key):
        if isinstance(key, tuple):
            return self._within(key)
        if isinstance(key, slice):
            return self._stack(range(*key.indices(len(self))))
        if isinstance(key, (list, _np.ndarray)):
            return self._stack(self._numbers(key).tolist())
        return self.read_frame(_operator.index(key))

    def _numbers(self, key):
        numbers = _np.asarray(key)
        if numbers.dtype == bool and numbers.shape == (len(self),):
            return _np.flatnonzero(numbers)
        if numbers.ndim != 1 or not (numbers.size == 0 or _np.issubdtype(numbers.dtype, _np.integer)):
            raise TypeError("frames are selected by a list or 1-D array of integers, or a mask of every frame")
        return numbers

    def _within(self, key):
        # numpy's indexing over several axes (dask and napari ask this way): the frames the
        # first index selects are read, and the rest of the key applies within them.
        first, rest = (key[0], key[1:]) if key else (slice(None), ())
        if first is Ellipsis or first is None:
            return self[:][key]
        if isinstance(first, slice):
            return self[first][(slice(None),) + rest]
        if isinstance(first, (list, _np.ndarray)):
            numbers = self._numbers(first)
            numbers = _np.where(numbers < 0, numbers + len(self), numbers)
            wanted = _np.unique(numbers)  # each frame read once, however often the key names it
            return self[wanted][(_np.searchsorted(wanted, numbers),) + rest]
        return self[first][rest]

    def __array__(self, dtype=None):
        frames = self[:]
        return frames if dtype is None else frames.astype(dtype)

    def _frame_shape(self):
        return (self.height, self.width, 3) if self._strict else tuple(self._r.frame_shape)

    def _stack(self, numbers):
        out = _np.empty((len(numbers),) + self._frame_shape(), self.dtype)
        for k, i in enumerate(numbers):
            self.read_frame(_operator.index(i), out=out[k])
        return out

    # ---- frames, stored bytes and audio ----
    def read_frame(self, i=None, out=None):
        """Frame i (the next one when i is None; None after the last), into out when given (a
        C-contiguous array of one frame's shape and dtype, reused: no allocation), else into a
        new array. The next read without a number gives frame i + 1."""
        if not self._strict:
            return self._r.read_frame(i, out)
        frame = self._r.read_frame(i)
        if out is None or frame is None:
            return frame
        _np.copyto(out, frame)
        return out

    def read_raw(self, i):
        """The stored bytes of frame i (a JPEG for MJPEG); b"" for a dropped frame."""
        return self._r.read_raw(i)

    def read_audio(self, n=None):
        """The next n sample frames (all that are left when n is None) as an array of shape
        (samples, channels): uint8 for 8-bit audio, int16 for 16-bit."""
        return self._r.read_audio(n)

    @property
    def frame_table(self):
        """One row per frame, a numpy structured array (FRAME_TABLE_DTYPE): offset (where the
        frame's stored bytes begin in the file), size (stored bytes; 0 for a dropped frame),
        key (a key frame) and time (seconds: frame number / fps)."""
        if self._strict:
            raise ValueError("the frame table is the default reader's: open without strict=True")
        offset, size, key = self._r._frame_table()
        table = _np.empty(len(offset), FRAME_TABLE_DTYPE)
        table["offset"], table["size"], table["key"] = offset, size, key
        fps = self.fps
        table["time"] = _np.arange(len(offset)) / float(fps) if fps else _np.nan
        return table

    # ---- what the file holds ----
    width = property(lambda self: self._r.width, doc="Frame width in pixels.")
    height = property(lambda self: self._r.height, doc="Frame height in pixels.")
    frame_count = property(lambda self: self._r.frame_count, doc="Number of frames, dropped ones included.")
    fps = property(lambda self: self._r.fps, doc="Frame rate as a fractions.Fraction; None when the file has none.")
    fourcc = property(lambda self: self._r.fourcc, doc="Compression code; '' for uncompressed video.")
    bits_per_pixel = property(lambda self: self._r.bits_per_pixel, doc="Bits per stored pixel.")
    has_video = property(lambda self: self._r.has_video, doc="Whether the file has a video stream.")
    has_audio = property(lambda self: self._r.has_audio, doc="Whether the file has an audio stream.")
    sample_rate = property(lambda self: self._r.sample_rate, doc="Audio sample frames per second.")
    channels = property(lambda self: self._r.channels, doc="Audio channels.")
    bits_per_sample = property(lambda self: self._r.bits_per_sample, doc="Audio bits per sample: 8 or 16.")

    def close(self):
        """Closes the file; reads fail after it."""
        self._r.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __repr__(self):
        return f"<avi.Video {self.shape} {self.dtype} at {self.fps} fps>"


def _read_frames(src, start, stop, strict):
    with open(src, strict=strict) as v:
        return v[start:stop]


def dask_array(src, frames_per_chunk=16, *, strict=False):
    """A lazy dask array over the frames of src (a path or URL), chunked along frames.

    Making it reads the header and the index, no frame; each chunk is read by a task that opens
    src itself, so the array computes on a dask.distributed cluster of worker processes.
    """
    import dask
    import dask.array as da

    if hasattr(src, "read"):
        raise TypeError("dask_array takes a path or URL, which its tasks open; not a file object")
    src = _os.fsdecode(src)
    with open(src, strict=strict) as v:
        shape, dtype = v.shape, v.dtype
    if frames_per_chunk < 1:
        raise ValueError("frames_per_chunk must be at least 1")
    read = dask.delayed(_read_frames, pure=True)
    blocks = [
        da.from_delayed(read(src, s, min(s + frames_per_chunk, shape[0]), strict),
                        (min(frames_per_chunk, shape[0] - s),) + shape[1:], dtype)
        for s in range(0, shape[0], frames_per_chunk)
    ]
    return da.concatenate(blocks) if blocks else da.empty(shape, dtype=dtype)
