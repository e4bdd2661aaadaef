"""Recordings: frames of any source into an MCAP file of ROS 2 messages
(`RecordingWriter`, `record`), and a recording as a source of the same
frames again (`open_recording`).

The file is written so that a crash loses little: the stream's description
goes first (header, metadata), frames go in chunks that reach the operating
system as soon as each is complete, and every frame ends with a FrameInfo
message, so a reader of a file cut anywhere returns the complete frames
before the cut and nothing after it."""
import errno
import io
import json
import os
import queue
import struct
import threading
import time
import warnings
import zlib
from dataclasses import dataclass, field
from typing import List, Optional

from . import planeformats, rosmsg
from .errors import CameraError, _extra_hint
from .frame import StreamInfo, clock_pair, system_time_ns
from .geometry import intrinsics_from_dict, intrinsics_to_dict
from .rate import RateMeter

# How a recording is stored: the first three are the MCAP chunk coding of
# float32 images; `depth` codes each plane itself (see quorvex.depthcoding)
# and leaves the chunks uncoded, as a general coder finds little left in
# them and would cost more CPU than the planes' own coders.
COMPRESSIONS = ("zstd", "lz4", "none", "depth")
DEPTH_CHUNK_COMPRESSION = "none"
CHUNK_SIZE = 1 << 20
# What the recorder can write bounds what a reader believes: larger claims
# in a file are damage or hostile, refused before anything is allocated.
# The largest message is one plane of the largest frame, the VGA module's
# raw frame (640 x 4810 samples of 16 bits, about 6.2 MB).
_MAX_MESSAGE_BYTES = 8 << 20
# The writer closes a chunk once it has passed CHUNK_SIZE: at most that,
# one more message and the records' own framing.
_MAX_CHUNK_BYTES = CHUNK_SIZE + _MAX_MESSAGE_BYTES + (64 << 10)
# Compressed data of incompressible input is a little larger than it.
_MAX_CHUNK_RECORD_BYTES = _MAX_CHUNK_BYTES + (1 << 20)
# Header, schemas, channels, metadata and end records are a few hundred
# bytes each.
_MAX_RECORD_BYTES = 1 << 20
# Planes of the smallest module (240 x 180) put a few frames, some twenty
# messages, in a chunk; room for frames down to 16 x 16 pixels, and no more:
# a flood of empty records would otherwise cost a Python object each.
_MAX_CHUNK_MESSAGES = 4096
_MESSAGE_FIELDS = struct.Struct("<HIQQ")  # channel, sequence, log time, publish time

# The layout of a recording: one topic per plane, the lens, and a FrameInfo
# that ends each frame. Depth is in metres, as ROS depth images are.
# Version 2 moved the planes coded our own way from `.../compressed` (the
# name of ROS's JPEG/PNG transport) to `.../lossless`; both read.
FORMAT_VERSION = "2"
FRAME_ID = "quorvex_optical_frame"
METADATA_NAME = "quorvex"
TOPIC_BASE = "/quorvex"
PLANE_TOPICS = {plane: planeformats.topic(TOPIC_BASE, plane, fmt)
                for plane, fmt in planeformats.CODINGS["none"].formats.items()}
# With `depth` compression the planes are CompressedImages on the topics
# of their image transports (see quorvex.planeformats).
COMPRESSED_PLANE_TOPICS = {plane: planeformats.topic(TOPIC_BASE, plane, fmt)
                           for plane, fmt in planeformats.CODINGS["depth"].formats.items()}
CAMERA_INFO_TOPIC = "/quorvex/camera_info"
FRAME_INFO_TOPIC = "/quorvex/frame_info"
# What the messages' header stamps hold: the estimated capture time on the
# system clock (time.time_ns()'s epoch).
HEADER_STAMPS = "capture, system clock"
_INSTALL_HINT = _extra_hint("record")


def _mcap():
    try:
        import mcap.writer  # noqa: F401
        import mcap_ros2.writer  # noqa: F401
    except ImportError as e:
        raise ImportError(f"recordings need the record extra ({e}); {_INSTALL_HINT}") from e
    return mcap


class RecordingWarning(UserWarning):
    """A recording was read up to a torn or corrupt place and the rest skipped."""


# Writing ------------------------------------------------------------------

class _FileSink:
    """The byte stream the MCAP writer writes to. Each of the writer's
    writes (the header, a metadata record, a chunk with its indexes, the
    summary) goes straight to the descriptor, so what a killed process
    leaves is whole records and at most one torn one. After a failed write
    the file is cut back to the end of the last whole write."""

    def __init__(self, path, sync_interval):
        self.path = path
        self.fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | getattr(os, "O_CLOEXEC", 0), 0o644)
        self.offset = 0
        # Frames whose last message is in what the writer has been given,
        # and of those, the ones in writes that reached the file.
        self.frames_given = 0
        self.frames_on_disk = 0
        self.sync_interval = sync_interval
        self._last_sync = time.monotonic()

    def write(self, data):
        view = memoryview(data)
        start = self.offset
        try:
            while view:
                n = os.write(self.fd, view)
                view = view[n:]
                self.offset += n
        except OSError:
            self.offset = start
            try:
                os.ftruncate(self.fd, start)
            except OSError:
                pass
            raise
        if start != self.offset:  # the writer also hands over empty buffers
            self.frames_on_disk = self.frames_given
        return len(data)

    def tell(self):
        return self.offset

    def flush(self):
        pass

    def maybe_sync(self):
        """Pushes the file to the disk now and then, so a power cut (boards
        lose power more often than they crash) loses seconds, not minutes."""
        if self.sync_interval is not None and time.monotonic() - self._last_sync >= self.sync_interval:
            os.fdatasync(self.fd)
            self._last_sync = time.monotonic()

    def close(self):
        if self.fd >= 0:
            fd, self.fd = self.fd, -1
            os.close(fd)


def _describe_write_error(path, e):
    if e.errno == errno.ENOSPC:
        return f"{path}: the disk is full"
    if e.errno == errno.EFBIG:
        return f"{path}: the file has reached the largest size allowed (file size limit)"
    return f"{path}: writing failed: {e.strerror or e}"


@dataclass
class RecordingStats:
    """What a recorder has done so far (read from the recording thread's
    side; each field is written by one thread only)."""

    frames_written: int = 0       # handed to the file writer
    frames_on_disk: int = 0       # in chunks that reached the file
    dropped_by_source: int = 0
    dropped_by_recorder: int = 0
    bytes_written: int = 0
    first_timestamp_ms: Optional[int] = None
    last_timestamp_ms: Optional[int] = None

    @property
    def dropped(self):
        return self.dropped_by_source + self.dropped_by_recorder


class RecordingWriter:
    """Writes the frames of one stream to an MCAP file from a thread of its
    own. `offer(frame)` never blocks: when the bounded queue is full (the
    disk cannot keep up) the frame is dropped and counted, and the next
    written frame carries the count.

        with RecordingWriter("out.mcap", cam.info) as rec:
            for frame in cam.frames(max_frames=100):
                rec.offer(frame)
    """

    def __init__(self, path, info, compression="zstd", queue_frames=16, chunk_size=CHUNK_SIZE,
                 sync_interval=1.0):
        _mcap()
        from mcap.writer import CompressionType
        from mcap_ros2.writer import Writer

        if compression not in COMPRESSIONS:
            raise ValueError(f"compression must be one of {', '.join(COMPRESSIONS)}, not {compression!r}")
        if info.output not in planeformats.OUTPUT_PLANES:
            raise ValueError(f"cannot record output {info.output!r}")
        self.path = str(path)
        self.info = info
        self.compression = compression
        self.chunk_compression = DEPTH_CHUNK_COMPRESSION if compression == "depth" else compression
        self.stats = RecordingStats()
        self.error = None  # CameraError of the recording thread, once it has stopped on one
        self._queue = queue.Queue(maxsize=max(1, int(queue_frames)))
        self._unqueued_drops = 0
        self._closed = False
        self._start_mono_ns, self._start_wall_ns = clock_pair()
        try:
            self._file = _FileSink(self.path, sync_interval)
        except OSError as e:
            raise CameraError(f"{self.path}: cannot create the recording: {e.strerror or e}") from e
        try:
            self._writer = Writer(self._file, chunk_size=chunk_size,
                                  compression=CompressionType[self.chunk_compression.upper()])
            self._schemas = {name: self._writer.register_msgdef(name, text)
                             for name, text in rosmsg.MSGDEFS.items()}
            self._writer.add_metadata(METADATA_NAME, self._metadata())
        except OSError as e:
            self._file.close()
            raise CameraError(_describe_write_error(self.path, e)) from e
        self.stats.bytes_written = self._file.offset
        self._thread = threading.Thread(target=self._run, name="quorvex-recorder", daemon=True)
        self._thread.start()

    def _metadata(self):
        from . import __version__

        info, i = self.info, self.info.intrinsics
        meta = {
            "format_version": FORMAT_VERSION,
            "library_version": __version__,
            "stream_version": str(info.version),
            "source": info.source, "variant": info.variant, "output": info.output,
            "width": str(info.width), "height": str(info.height),
            "intrinsics": json.dumps(intrinsics_to_dict(i)),
            "controls": json.dumps(dict(info.controls), sort_keys=True),
            # Which depth filters, if any, the recorded depth went through
            # ("null": raw, so it can be filtered on playback).
            "filters": json.dumps(info.filters, sort_keys=True),
            "compression": self.compression,
            "chunk_compression": self.chunk_compression,
            # log_time of every message is the host's arrival time on this
            # wall-clock anchor; header.stamp the estimated capture time on
            # it; the module's own clock is in each FrameInfo (recordings
            # without this key have the module's clock in header.stamp).
            "header_stamps": HEADER_STAMPS,
            "start_wall_ns": str(self._start_wall_ns),
            "start_monotonic_ns": str(self._start_mono_ns),
        }
        if self.compression == "depth":
            # What the planes beside depth are coded in; recordings made
            # before there was a choice lack the key and hold delta deflate.
            coded = planeformats.CODINGS["depth"].formats
            meta["plane_format"] = coded["raw" if info.output == "raw" else "amplitude"]
        return meta

    # Producer side --------------------------------------------------------
    def offer(self, frame, block=False):
        """Queues a frame for writing; False when it was dropped. With
        `block` it waits for room instead (for sources that can wait, such
        as files). Raises the recording thread's CameraError once writing
        has failed."""
        if self.error is not None:
            raise self.error
        if self._closed:
            raise CameraError(f"{self.path}: the recording is closed")
        item = (frame, self._unqueued_drops)
        try:
            if block:
                while True:
                    try:
                        self._queue.put(item, timeout=0.1)
                        break
                    except queue.Full:
                        if self.error is not None:
                            raise self.error from None
            else:
                self._queue.put_nowait(item)
        except queue.Full:
            self._unqueued_drops += 1
            self.stats.dropped_by_recorder += 1
            return False
        self._unqueued_drops = 0
        return True

    def wait_idle(self, timeout):
        """Waits, at most `timeout` seconds, until every queued frame is
        written; True when it is."""
        q = self._queue
        with q.all_tasks_done:
            return q.all_tasks_done.wait_for(lambda: q.unfinished_tasks == 0, timeout)

    def close(self):
        """Writes what is queued, the summary and the index, and closes the
        file. Raises the recording thread's error, if any."""
        if not self._closed:
            self._closed = True
            # A thread stopped by an error may leave a frame offered as it
            # stopped in a full queue: never wait on it for room.
            while self._thread.is_alive():
                try:
                    self._queue.put(None, timeout=0.1)
                    break
                except queue.Full:
                    pass
            self._thread.join()
        if self.error is not None:
            raise self.error

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    # Recording thread -----------------------------------------------------
    def _run(self):
        try:
            while True:
                item = self._queue.get()
                if item is None:
                    break
                try:
                    self._write_frame(*item)
                finally:
                    self._queue.task_done()
            self._finish()
        except OSError as e:
            self.stats.frames_on_disk = self._file.frames_on_disk
            self.error = CameraError(_describe_write_error(self.path, e)
                                     + f"; the {self.stats.frames_on_disk} frames before it are readable")
            self._drain()
        except Exception as e:  # noqa: BLE001 -- reported to the producer, not lost in a thread
            self.error = CameraError(f"{self.path}: recording failed: {e!r}")
            self._drain()
        finally:
            self._file.close()

    def _drain(self):
        """Lets a producer that is still offering see the error instead of a
        full queue, and `close` find its end marker."""
        while True:
            try:
                self._queue.get_nowait()
            except queue.Empty:
                return
            self._queue.task_done()

    def _write_frame(self, frame, dropped_by_recorder):
        log_time = self._start_wall_ns + (int(frame.host_time_ns) - self._start_mono_ns)
        stamp_ns = int(frame.timestamp_ms) * 1_000_000
        # One anchor for the whole file, so that a step of the system
        # clock while recording leaves the stamps in order.
        captured = frame.host_time_ns if frame.capture_ns is None else frame.capture_ns
        header_ns = system_time_ns(captured, (self._start_mono_ns, self._start_wall_ns))
        seq = int(frame.sequence) & 0xFFFFFFFF
        w = self._writer
        coding = planeformats.CODINGS["depth" if self.compression == "depth" else "none"]
        image = self._schemas[coding.schema]
        for name, msg in planeformats.plane_messages(frame, FRAME_ID, coding.name, depth_in_metres=True,
                                                     stamp_ns=header_ns):
            fmt = msg["format"] if coding.schema == rosmsg.COMPRESSED_IMAGE else msg["encoding"]
            w.write_message(planeformats.topic(TOPIC_BASE, name, fmt), image, msg, log_time=log_time,
                            publish_time=stamp_ns, sequence=seq)
        w.write_message(CAMERA_INFO_TOPIC, self._schemas[rosmsg.CAMERA_INFO],
                        rosmsg.camera_info_message(self.info.intrinsics, frame.timestamp_ms, FRAME_ID, header_ns),
                        log_time=log_time, publish_time=stamp_ns, sequence=seq)
        # A chunk closed while this message is added holds the whole frame.
        self._file.frames_given = self.stats.frames_written + 1
        w.write_message(FRAME_INFO_TOPIC, self._schemas[rosmsg.FRAME_INFO],
                        rosmsg.frame_info_message(frame, FRAME_ID, dropped_by_recorder, header_ns),
                        log_time=log_time, publish_time=stamp_ns, sequence=seq)
        self._file.maybe_sync()
        s = self.stats
        s.frames_written += 1
        s.dropped_by_source += int(frame.dropped)
        s.bytes_written = self._file.offset
        s.frames_on_disk = self._file.frames_on_disk
        if s.first_timestamp_ms is None:
            s.first_timestamp_ms = int(frame.timestamp_ms)
        s.last_timestamp_ms = int(frame.timestamp_ms)

    def _finish(self):
        s = self.stats
        self._writer.add_metadata(METADATA_NAME + ".summary", {
            "frames": str(s.frames_written), "dropped_by_source": str(s.dropped_by_source),
            "dropped_by_recorder": str(s.dropped_by_recorder),
            "end_wall_ns": str(time.time_ns())})
        self._writer.finish()
        os.fdatasync(self._file.fd)
        s.bytes_written = self._file.offset
        s.frames_on_disk = self._file.frames_on_disk


@dataclass
class RecordResult:
    path: str
    stats: RecordingStats
    seconds: float
    interrupted: bool = False


def record(source, path, max_frames=None, seconds=None, compression="zstd", queue_frames=16,
           on_progress=None, sync_interval=1.0, block=False):
    """Records a source into `path` until `max_frames` frames were taken
    from it, `seconds` passed, or Ctrl-C (which ends the file cleanly).
    `block`: wait for the disk rather than drop frames (a source that can
    wait, e.g. a recording read as fast as possible).
    `on_progress(stats, elapsed_seconds)` is called after each frame.
    Returns a RecordResult; raises CameraError when writing fails."""
    writer = RecordingWriter(path, source.info, compression=compression, queue_frames=queue_frames,
                             sync_interval=sync_interval)
    begin = time.monotonic()
    interrupted = False
    arrivals = RateMeter()
    try:
        try:
            for frame in source.frames(max_frames=max_frames):
                writer.offer(frame, block=block)
                arrivals.tick(frame.host_time_ns / 1e9)
                # A source whose wait for the next frame holds the
                # interpreter lock would starve the writing thread; give it
                # up to half a frame period (at most 50 ms) to catch up
                # first. Frames the source receives meanwhile wait in its
                # own buffers.
                period = arrivals.period
                if period is not None:
                    writer.wait_idle(min(period, 0.1) / 2)
                elapsed = time.monotonic() - begin
                if on_progress is not None:
                    on_progress(writer.stats, elapsed)
                if seconds is not None and elapsed >= seconds:
                    break
        except KeyboardInterrupt:
            interrupted = True
    finally:
        writer.close()
    return RecordResult(path=str(path), stats=writer.stats, seconds=time.monotonic() - begin,
                        interrupted=interrupted)


# Reading ------------------------------------------------------------------

@dataclass
class ScanReport:
    """What reading a file through found, besides its frames."""

    chunks: int = 0
    compressions: set = field(default_factory=set)
    finished: bool = False        # the writer reached the end and wrote the summary
    problems: List[str] = field(default_factory=list)
    metadata: dict = field(default_factory=dict)


def _read_exact(f, n):
    data = f.read(n)
    return data, len(data) == n


def _decompress(chunk):
    """The records of a chunk, never more than it claims to hold: a chunk
    whose data inflates beyond its claim stops inflating there."""
    claim = chunk.uncompressed_size
    if claim > _MAX_CHUNK_BYTES:
        raise ValueError(f"chunk claims {claim} bytes; the recorder writes at most {_MAX_CHUNK_BYTES}")
    if chunk.compression == "zstd":
        import zstandard

        with zstandard.ZstdDecompressor().stream_reader(chunk.data, read_across_frames=True) as r:
            parts, have = [], 0
            while have <= claim:
                part = r.read(claim + 1 - have)
                if not part:
                    break
                parts.append(part)
                have += len(part)
        data = b"".join(parts)
    elif chunk.compression == "lz4":
        import lz4.frame

        data = lz4.frame.LZ4FrameDecompressor().decompress(chunk.data, max_length=claim + 1)
    elif chunk.compression == "":
        data = chunk.data
    else:
        raise ValueError(f"chunk of unknown compression {chunk.compression!r}")
    if len(data) != claim:
        raise ValueError(f"chunk claims {claim} bytes and holds {'more' if len(data) > claim else len(data)}")
    if chunk.uncompressed_crc == 0:
        raise ValueError("chunk without a checksum")
    if zlib.crc32(data) != chunk.uncompressed_crc:
        raise ValueError("chunk checksum does not match its data")
    return data


def _chunk_records(data, parsers):
    """The schemas, channels and messages of a chunk's data, each record's
    length checked against what is left of the chunk before it is read."""
    from mcap.data_stream import ReadDataStream
    from mcap.opcode import Opcode
    from mcap.records import Message

    records, messages, pos, n = [], 0, 0, len(data)
    view = memoryview(data)
    while pos < n:
        if n - pos < 9:
            raise ValueError(f"{n - pos} stray bytes at the end of a chunk")
        opcode = data[pos]
        length = int.from_bytes(view[pos + 1:pos + 9], "little")
        body = pos + 9
        pos = body + length
        if pos > n:
            raise ValueError(f"a record of {length} bytes in a chunk with {n - body} left")
        if opcode == Opcode.MESSAGE:
            messages += 1
            if messages > _MAX_CHUNK_MESSAGES:
                raise ValueError(f"more than {_MAX_CHUNK_MESSAGES} messages in a chunk")
            if length < _MESSAGE_FIELDS.size:
                raise ValueError(f"a message record of {length} bytes")
            channel, sequence, log_time, publish_time = _MESSAGE_FIELDS.unpack_from(view, body)
            records.append(Message(channel_id=channel, sequence=sequence, log_time=log_time,
                                   publish_time=publish_time,
                                   data=bytes(view[body + _MESSAGE_FIELDS.size:pos])))
        elif opcode in (Opcode.SCHEMA, Opcode.CHANNEL):
            records.append(parsers[opcode].read(ReadDataStream(io.BytesIO(view[body:pos]))))
        else:
            raise ValueError(f"a record of opcode {opcode:#x} inside a chunk")
    return records


def _scan(path, report, skip_corrupt=False):
    """Yields (channel, schema, message) of every message in file order,
    reading record by record with the library's record parsers. A torn last
    record (a killed writer) ends the scan with a problem noted; a damaged
    chunk raises CameraError, or is skipped with a problem noted when
    `skip_corrupt`. No size a file claims is believed beyond what the
    recorder writes and what the file holds."""
    _mcap()
    from mcap.data_stream import ReadDataStream
    from mcap.exceptions import InvalidMagic
    from mcap.opcode import Opcode
    from mcap.records import Channel, Chunk, DataEnd, Footer, Header, Message, Metadata, Schema
    from mcap.stream_reader import read_magic

    parsers = {Opcode.HEADER: Header, Opcode.METADATA: Metadata, Opcode.CHUNK: Chunk,
               Opcode.SCHEMA: Schema, Opcode.CHANNEL: Channel, Opcode.DATA_END: DataEnd,
               Opcode.FOOTER: Footer}
    schemas, channels = {}, {}
    try:
        f = open(path, "rb")
    except OSError as e:
        raise CameraError(f"{path}: cannot open the recording: {e.strerror or e}") from e
    with f:
        size = os.fstat(f.fileno()).st_size
        try:
            read_magic(ReadDataStream(f))
        except (InvalidMagic, Exception) as e:  # noqa: B014 -- short files fail in struct
            raise CameraError(f"{path}: not an MCAP file (no MCAP magic at its start)") from e
        while True:
            offset = f.tell()
            head, whole = _read_exact(f, 9)
            if not head:
                report.problems.append(f"the file ends at byte {offset} without an end record "
                                       "(the recording did not finish)")
                return
            opcode = head[0]
            length = int.from_bytes(head[1:], "little")
            if not whole or offset + 9 + length > size:
                report.problems.append(f"torn last record at byte {offset} ({offset + 9 + length - size} "
                                       "bytes missing; the recording did not finish): skipped")
                return
            if opcode == Opcode.MESSAGE:
                raise CameraError(f"{path}: message outside a chunk at byte {offset}: not written by quorvex")
            parser = parsers.get(opcode)
            if parser is None:
                f.seek(length, os.SEEK_CUR)  # index records and others a reader may pass over
                continue
            try:
                bound = _MAX_CHUNK_RECORD_BYTES if opcode == Opcode.CHUNK else _MAX_RECORD_BYTES
                if length > bound:
                    f.seek(length, os.SEEK_CUR)
                    raise ValueError(f"a record of {length} bytes; the recorder writes at most {bound}")
                record = parser.read(ReadDataStream(io.BytesIO(f.read(length))))
                if isinstance(record, Chunk):
                    inner = _chunk_records(_decompress(record), parsers)
                else:
                    inner = [record]
            except Exception as e:  # noqa: BLE001 -- any parser failure is damage in the file
                what = f"damaged record at byte {offset} ({type(e).__name__}: {e})"
                if skip_corrupt:
                    report.problems.append(what + ": skipped")
                    continue
                raise CameraError(f"{path}: {what}") from e
            if isinstance(record, Chunk):
                report.chunks += 1
                report.compressions.add(record.compression or "none")
            for r in inner:
                if isinstance(r, Schema):
                    schemas[r.id] = r
                elif isinstance(r, Channel):
                    channels[r.id] = r
                elif isinstance(r, Message):
                    channel = channels.get(r.channel_id)
                    if channel is None:
                        raise CameraError(f"{path}: message of unknown channel {r.channel_id} at byte {offset}")
                    yield channel, schemas.get(channel.schema_id), r
                elif isinstance(r, Metadata):
                    report.metadata[r.name] = dict(r.metadata)
                elif isinstance(r, (DataEnd, Footer)):
                    report.finished = True
                    return


def _stream_info(path, meta):
    try:
        i = json.loads(meta["intrinsics"])
        return StreamInfo(source=f"recording:{path}", variant=meta["variant"],
                          width=int(meta["width"]), height=int(meta["height"]), output=meta["output"],
                          intrinsics=intrinsics_from_dict(i), controls=json.loads(meta["controls"]),
                          version=meta.get("stream_version", ""),
                          filters=json.loads(meta.get("filters", "null")))
    except (KeyError, ValueError, TypeError) as e:
        raise CameraError(f"{path}: the recording's description is damaged ({e!r})") from e


class Recording:
    """A recording as a source of frames: `.info`, `.frames()`, `.close()`,
    `with` support, like a live camera. `problems` lists what the last pass
    through the file skipped (a torn end, damaged chunks)."""

    def __init__(self, path, realtime=True, skip_corrupt=False):
        self.path = os.fspath(path)
        self.realtime = realtime
        self.skip_corrupt = skip_corrupt
        self.problems = []
        report = ScanReport()
        # The stream's description precedes every chunk: read just that far.
        scan = _scan(self.path, report, skip_corrupt)
        try:
            for _ in scan:
                break
        finally:
            scan.close()
        meta = report.metadata.get(METADATA_NAME)
        if meta is None and report.problems:
            raise CameraError(f"{self.path}: cut short before the recording's description "
                              f"({report.problems[0]})")
        if meta is None:
            raise CameraError(f"{self.path}: an MCAP file, but not a quorvex recording "
                              f"(no '{METADATA_NAME}' metadata before its first frame)")
        self.metadata = meta
        self.info = _stream_info(self.path, meta)

    def frames(self, max_frames=None, stall_timeout=None, *, realtime=None):
        """Yields the recorded frames from the start of the file: at the
        recorded pace (module clock) when `realtime`, else as fast as they
        are read. A file never stalls: `stall_timeout` is accepted as every
        source accepts it, and has nothing to wait for. `sequence` counts from 0; `dropped` includes frames the
        recorder could not write; `host_time_ns` is the arrival here, as for
        a live camera. A torn or skipped part is warned of
        (RecordingWarning) and listed in `problems`."""
        from mcap_ros2.decoder import DecoderFactory

        realtime = self.realtime if realtime is None else realtime
        decoders = DecoderFactory()
        report = ScanReport()
        self.problems = report.problems
        plane_of_topic = planeformats.plane_topics(TOPIC_BASE)
        planes, planes_seq = {}, None
        count = 0
        clock = None  # (module ms, monotonic s) the pace is measured from
        try:
            for channel, schema, message in _scan(self.path, report, self.skip_corrupt):
                if max_frames is not None and count >= max_frames:
                    return
                topic = channel.topic
                if topic == FRAME_INFO_TOPIC or topic in plane_of_topic:
                    decode = decoders.decoder_for(channel.message_encoding, schema)
                    if decode is None:
                        raise CameraError(f"{self.path}: {topic} is not in ROS 2 CDR")
                    try:
                        msg = decode(message.data)
                    except Exception as e:  # noqa: BLE001
                        raise CameraError(f"{self.path}: undecodable {topic} message: {e!r}") from e
                if topic in plane_of_topic:
                    if planes_seq != message.sequence:
                        planes, planes_seq = {}, message.sequence
                    planes[plane_of_topic[topic]] = msg
                elif topic == FRAME_INFO_TOPIC:
                    if planes_seq != message.sequence:
                        planes = {}
                    try:
                        frame = planeformats.frame_from_messages(
                            msg, planes, sequence=count,
                            dropped=int(msg.dropped_by_source) + int(msg.dropped_by_recorder),
                            host_time_ns=0, depth_in_metres=True, info=self.info)
                    except rosmsg.MessageError as e:
                        if not self.skip_corrupt:
                            raise CameraError(f"{self.path}: {e}") from e
                        report.problems.append(f"{e}: skipped")
                        continue
                    finally:
                        planes, planes_seq = {}, None
                    if realtime:
                        clock = _wait_for(frame.timestamp_ms, clock)
                    frame.host_time_ns = time.monotonic_ns()
                    count += 1
                    yield frame
        finally:
            for p in report.problems:
                warnings.warn(f"{self.path}: {p}", RecordingWarning, stacklevel=2)

    def close(self):
        pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


def _wait_for(timestamp_ms, clock):
    now = time.monotonic()
    # A module clock that restarts or jumps back starts the pace anew.
    if clock is None or timestamp_ms < clock[0]:
        return (timestamp_ms, now)
    due = clock[1] + (timestamp_ms - clock[0]) / 1000.0
    if due > now:
        time.sleep(due - now)
    return clock


def open_recording(path, realtime=True, skip_corrupt=False):
    """A recording as a source of frames, like `quorvex.Camera`:

        with quorvex.open_recording("scene.mcap", realtime=False) as rec:
            for frame in rec.frames():
                ...

    `realtime`: at the recorded pace (True) or as fast as possible.
    `skip_corrupt`: pass over damaged chunks with a warning instead of
    raising CameraError. A file cut short (a killed recorder) always reads
    back up to its last complete frame, with a RecordingWarning."""
    return Recording(path, realtime=realtime, skip_corrupt=skip_corrupt)


def scan_recording(path, skip_corrupt=True):
    """Reads a whole file without decoding images: (Recording description
    or None, ScanReport, per-topic message counts, frame stamps in ms)."""
    report = ScanReport()
    counts, stamps = {}, []
    for channel, _schema, message in _scan(os.fspath(path), report, skip_corrupt):
        counts[channel.topic] = counts.get(channel.topic, 0) + 1
        if channel.topic == FRAME_INFO_TOPIC:
            stamps.append(message.publish_time // 1_000_000)
    return report, counts, stamps


__all__ = ["RecordingWriter", "RecordingStats", "RecordResult", "Recording", "RecordingWarning",
           "open_recording", "record", "scan_recording", "COMPRESSIONS", "COMPRESSED_PLANE_TOPICS"]
