"""DDS through Cyclone DDS's C library, found at run time with ctypes: no
headers, no compiler and no generated code, so every wheel carries it and a
machine without the library loses nothing but this.

Types are described to the library the way its IDL compiler would: a C
struct layout (here a ctypes Structure) and the serialisation instructions
over it, both derived from the ROS message definitions in `quorvex.rosmsg`,
so each message has one definition. Samples are final types in plain CDR.

    lib = dds.library()                          # DdsUnavailable: one line saying what to install
    with dds.Participant(domain=0) as p:
        t = p.topic("rt/a", dds.message_type("sensor_msgs/msg/Image", text))
        w = p.writer(t, dds.Qos(reliable=True, depth=5))
        w.write({"header": ..., "data": numpy_array_or_bytes, ...})
"""
import ctypes
import os
import re
import threading
from types import SimpleNamespace

import numpy as np

# Debian's builds carry a soname of their own (bookworm's libddsc0debian and
# trixie's libddsc0t64 alike); upstream builds use the plain one.
SONAMES = ("libddsc.so.0debian", "libddsc.so.0")
INSTALL_HINT = ("install Cyclone DDS's C library: Debian's libddsc0debian (bookworm) or "
                "libddsc0t64 (trixie), e.g. sudo apt-get install libddsc0debian")

_entity = ctypes.c_int32
_return = ctypes.c_int32
_duration = ctypes.c_int64
INFINITY = (1 << 63) - 1
_ANY_STATE = 127
_RETCODE_TIMEOUT = -10
_XCDR1 = 0

# Instruction words of the serialiser (the library's public opcodes).
_ADR, _RTS = 0x01 << 24, 0x00 << 24
_VAL = {"1BY": 0x01, "2BY": 0x02, "4BY": 0x03, "8BY": 0x04, "STR": 0x05, "SEQ": 0x07,
        "ARR": 0x08, "STU": 0x0a, "EXT": 0x0d, "BLN": 0x0e}
_FLAG_FP, _FLAG_SGN = 1 << 1, 1 << 2


class DdsUnavailable(ImportError):
    """The C library is not installed (or is not usable)."""


class DdsError(RuntimeError):
    """A call into the library failed; the message names the call and its reason."""


class _Sequence(ctypes.Structure):
    _fields_ = [("_maximum", ctypes.c_uint32), ("_length", ctypes.c_uint32),
                ("_buffer", ctypes.c_void_p), ("_release", ctypes.c_bool)]


class _TypeMeta(ctypes.Structure):
    _fields_ = [("data", ctypes.c_void_p), ("sz", ctypes.c_uint32)]


class _Descriptor(ctypes.Structure):
    # The newer members are read only when m_flagset says they are present.
    _fields_ = [("m_size", ctypes.c_uint32), ("m_align", ctypes.c_uint32),
                ("m_flagset", ctypes.c_uint32), ("m_nkeys", ctypes.c_uint32),
                ("m_typename", ctypes.c_char_p), ("m_keys", ctypes.c_void_p),
                ("m_nops", ctypes.c_uint32), ("m_ops", ctypes.POINTER(ctypes.c_uint32)),
                ("m_meta", ctypes.c_char_p), ("type_information", _TypeMeta),
                ("type_mapping", _TypeMeta), ("restrict_data_representation", ctypes.c_uint32)]


class SampleInfo(ctypes.Structure):
    _fields_ = [("sample_state", ctypes.c_uint32), ("view_state", ctypes.c_uint32),
                ("instance_state", ctypes.c_uint32), ("valid_data", ctypes.c_bool),
                ("source_timestamp", ctypes.c_int64), ("instance_handle", ctypes.c_uint64),
                ("publication_handle", ctypes.c_uint64),
                ("disposed_generation_count", ctypes.c_uint32),
                ("no_writers_generation_count", ctypes.c_uint32),
                ("sample_rank", ctypes.c_uint32), ("generation_rank", ctypes.c_uint32),
                ("absolute_generation_rank", ctypes.c_uint32)]


class _MatchedStatus(ctypes.Structure):
    _fields_ = [("total_count", ctypes.c_uint32), ("total_count_change", ctypes.c_int32),
                ("current_count", ctypes.c_uint32), ("current_count_change", ctypes.c_int32),
                ("last_handle", ctypes.c_uint64)]


class _Guid(ctypes.Structure):
    _fields_ = [("v", ctypes.c_uint8 * 16)]


_SIGNATURES = {
    "dds_create_domain": (_entity, [ctypes.c_uint32, ctypes.c_char_p]),
    "dds_create_participant": (_entity, [ctypes.c_uint32, ctypes.c_void_p, ctypes.c_void_p]),
    "dds_create_topic": (_entity, [_entity, ctypes.POINTER(_Descriptor), ctypes.c_char_p,
                                   ctypes.c_void_p, ctypes.c_void_p]),
    "dds_create_writer": (_entity, [_entity, _entity, ctypes.c_void_p, ctypes.c_void_p]),
    "dds_create_reader": (_entity, [_entity, _entity, ctypes.c_void_p, ctypes.c_void_p]),
    "dds_delete": (_return, [_entity]),
    "dds_write": (_return, [_entity, ctypes.c_void_p]),
    "dds_write_ts": (_return, [_entity, ctypes.c_void_p, ctypes.c_int64]),
    "dds_take": (_return, [_entity, ctypes.POINTER(ctypes.c_void_p), ctypes.POINTER(SampleInfo),
                           ctypes.c_size_t, ctypes.c_uint32]),
    "dds_return_loan": (_return, [_entity, ctypes.POINTER(ctypes.c_void_p), ctypes.c_int32]),
    "dds_create_waitset": (_entity, [_entity]),
    "dds_create_readcondition": (_entity, [_entity, ctypes.c_uint32]),
    "dds_waitset_attach": (_return, [_entity, _entity, ctypes.c_ssize_t]),
    "dds_waitset_wait": (_return, [_entity, ctypes.POINTER(ctypes.c_ssize_t), ctypes.c_size_t,
                                   _duration]),
    "dds_waitset_set_trigger": (_return, [_entity, ctypes.c_bool]),
    "dds_get_guid": (_return, [_entity, ctypes.POINTER(_Guid)]),
    "dds_get_publication_matched_status": (_return, [_entity, ctypes.POINTER(_MatchedStatus)]),
    "dds_get_subscription_matched_status": (_return, [_entity, ctypes.POINTER(_MatchedStatus)]),
    "dds_strretcode": (ctypes.c_char_p, [_return]),
    "dds_create_qos": (ctypes.c_void_p, []),
    "dds_delete_qos": (None, [ctypes.c_void_p]),
    "dds_qset_reliability": (None, [ctypes.c_void_p, ctypes.c_int, _duration]),
    "dds_qset_durability": (None, [ctypes.c_void_p, ctypes.c_int]),
    "dds_qset_history": (None, [ctypes.c_void_p, ctypes.c_int, ctypes.c_int32]),
    "dds_qset_userdata": (None, [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t]),
    "dds_qset_data_representation": (None, [ctypes.c_void_p, ctypes.c_uint32,
                                            ctypes.POINTER(ctypes.c_int16)]),
}

_library = None
_library_lock = threading.Lock()


def library():
    """The loaded C library with its functions typed; DdsUnavailable when
    it is missing (the message says what to install)."""
    global _library
    with _library_lock:
        if _library is not None:
            return _library
        errors = []
        for name in SONAMES:
            try:
                lib = ctypes.CDLL(name)
                break
            except OSError as e:
                errors.append(str(e))
        else:
            raise DdsUnavailable(f"Cyclone DDS's C library ({SONAMES[0]}) is not installed: "
                                 f"{INSTALL_HINT}")
        try:
            for fn, (restype, argtypes) in _SIGNATURES.items():
                f = getattr(lib, fn)
                f.restype, f.argtypes = restype, argtypes
        except AttributeError as e:
            raise DdsUnavailable(f"{name} is not a usable Cyclone DDS ({e}): {INSTALL_HINT}") from None
        _library = lib
        return lib


def _check(result, what):
    if result < 0:
        reason = library().dds_strretcode(result)
        raise DdsError(f"{what}: {reason.decode() if reason else result}")
    return result


# Message types -----------------------------------------------------------
_PRIMITIVES = {
    # name: (ctypes type, instruction value, flags)
    "bool": (ctypes.c_bool, "BLN", 0), "byte": (ctypes.c_uint8, "1BY", 0),
    "char": (ctypes.c_uint8, "1BY", 0), "uint8": (ctypes.c_uint8, "1BY", 0),
    "int8": (ctypes.c_int8, "1BY", _FLAG_SGN), "uint16": (ctypes.c_uint16, "2BY", 0),
    "int16": (ctypes.c_int16, "2BY", _FLAG_SGN), "uint32": (ctypes.c_uint32, "4BY", 0),
    "int32": (ctypes.c_int32, "4BY", _FLAG_SGN), "uint64": (ctypes.c_uint64, "8BY", 0),
    "int64": (ctypes.c_int64, "8BY", _FLAG_SGN), "float32": (ctypes.c_float, "4BY", _FLAG_FP),
    "float64": (ctypes.c_double, "8BY", _FLAG_FP), "string": (ctypes.c_char_p, "STR", 0),
}
_FIELD = re.compile(r"^(?P<type>[A-Za-z0-9_/]+(?:<=\d+)?)(?P<array>\[(?P<size><=)?(?P<n>\d*)\])?\s+"
                    r"(?P<name>[A-Za-z_][A-Za-z0-9_]*)\s*(?P<rest>.*)$")


def parse_definitions(name, text):
    """{type: [(field, base type, array)]} of a ROS definition text (the
    type's own fields, then `MSG: pkg/Name` sections of those it uses);
    array is None, -1 for a sequence or the length of a fixed array.
    Types are named pkg/Name; constants are left out."""
    sections = re.split(r"^=+\s*$", text, flags=re.M)
    types = {}
    current = _short(name)
    for i, section in enumerate(sections):
        lines = section.strip().splitlines()
        if i > 0:
            if not lines or not lines[0].startswith("MSG: "):
                raise ValueError(f"{name}: a section without its MSG: line")
            current = _short(lines[0][5:].strip())
            lines = lines[1:]
        package = current.split("/")[0]
        fields = []
        for line in lines:
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            m = _FIELD.match(line)
            if m is None:
                raise ValueError(f"{current}: cannot read {line!r}")
            if m.group("rest").startswith("="):
                continue  # a constant
            base = m.group("type")
            if base.startswith("string<="):
                base = "string"  # a bound changes nothing in CDR
            elif base not in _PRIMITIVES:
                base = _qualified(base, package)
            array = None
            if m.group("array"):
                array = -1 if m.group("size") or not m.group("n") else int(m.group("n"))
            fields.append((m.group("name"), base, array))
        types[current] = fields
    return types


def _short(name):
    parts = name.split("/")
    return f"{parts[0]}/{parts[-1]}"


def _qualified(base, package):
    if "/" in base:
        return _short(base)
    return "std_msgs/Header" if base == "Header" else f"{package}/{base}"


def dds_type_name(ros_type):
    """The DDS name ROS 2 gives a message type: pkg/msg/Name ->
    pkg::msg::dds_::Name_."""
    package, kind, name = ros_type.split("/")
    return f"{package}::{kind}::dds_::{name}_"


class MessageType:
    """One message type as the library sees it: the C layout (`struct`, a
    ctypes Structure), the serialiser's instructions and the descriptor
    that carries both. `fill` turns a dict (or an object with the fields)
    into a sample, `read` a sample into nested SimpleNamespaces."""

    def __init__(self, ros_type, text):
        self.ros_type = ros_type
        self.name = dds_type_name(ros_type)
        self._fields = parse_definitions(ros_type, text)
        self._structs = {}
        self.struct = self._struct(_short(ros_type))
        ops, count = self._instructions(_short(ros_type))
        self._ops = (ctypes.c_uint32 * len(ops))(*ops)
        self._name = self.name.encode()
        self.descriptor = _Descriptor(
            m_size=ctypes.sizeof(self.struct), m_align=ctypes.alignment(self.struct), m_flagset=0,
            m_nkeys=0, m_typename=self._name, m_keys=None, m_nops=count,
            m_ops=ctypes.cast(self._ops, ctypes.POINTER(ctypes.c_uint32)), m_meta=b"")

    @property
    def ops(self):
        return list(self._ops)

    def _struct(self, type_name):
        if type_name in self._structs:
            return self._structs[type_name]
        if type_name not in self._fields:
            raise ValueError(f"{self.ros_type}: no definition of {type_name}")
        members = []
        for field, base, array in self._fields[type_name]:
            element = _PRIMITIVES[base][0] if base in _PRIMITIVES else self._struct(base)
            if array is None:
                members.append((field, element))
            elif array < 0:
                members.append((field, _Sequence))
            else:
                members.append((field, element * array))
        cls = type(type_name.replace("/", "_"), (ctypes.Structure,), {"_fields_": members})
        self._structs[type_name] = cls
        return cls

    def _instructions(self, top):
        # One block per struct type, the top-level one first, each ending in
        # RTS; a member of struct type jumps to its type's block.
        order, pending = [], [top]
        while pending:
            t = pending.pop(0)
            if t in order:
                continue
            order.append(t)
            pending.extend(base for _, base, _ in self._fields[t] if base not in _PRIMITIVES)
        starts, size = {}, 0
        for t in order:
            starts[t] = size
            size += sum(self._member_words(base, array) for _, base, array in self._fields[t]) + 1
        ops, count = [], 0
        for t in order:
            cls = self._structs[t]
            for field, base, array in self._fields[t]:
                here = len(ops)
                offset = getattr(cls, field).offset
                count += 1
                if base in _PRIMITIVES:
                    _, val, flags = _PRIMITIVES[base]
                    if array is None:
                        ops += [_ADR | _VAL[val] << 16 | flags, offset]
                    elif array < 0:
                        ops += [_ADR | _VAL["SEQ"] << 16 | _VAL[val] << 8 | flags, offset]
                    else:
                        ops += [_ADR | _VAL["ARR"] << 16 | _VAL[val] << 8 | flags, offset, array]
                    continue
                jump = starts[base] - here
                element = ctypes.sizeof(self._structs[base])
                if array is None:
                    ops += [_ADR | _VAL["EXT"] << 16, offset, (3 << 16) | (jump & 0xffff)]
                elif array < 0:
                    ops += [_ADR | _VAL["SEQ"] << 16 | _VAL["STU"] << 8, offset, element,
                            (4 << 16) | (jump & 0xffff)]
                else:
                    ops += [_ADR | _VAL["ARR"] << 16 | _VAL["STU"] << 8, offset, array,
                            (5 << 16) | (jump & 0xffff), element]
            ops.append(_RTS)
            count += 1
        assert len(ops) == size
        return ops, count

    @staticmethod
    def _member_words(base, array):
        if base in _PRIMITIVES:
            return 2 if array is None or array < 0 else 3
        return {None: 3, -1: 4}.get(array, 5)

    # Samples ---------------------------------------------------------------
    def fill(self, message):
        """A sample of `message` and the objects it points into (keep both
        until the write returns). Byte sequences may be bytes or any numpy
        array (its memory is used as it is, not copied)."""
        keep = []
        sample = self.struct()
        self._fill(sample, _short(self.ros_type), message, keep)
        return sample, keep

    def _fill(self, target, type_name, message, keep):
        for field, base, array in self._fields[type_name]:
            value = message[field] if isinstance(message, dict) else getattr(message, field)
            if array is None:
                if base in _PRIMITIVES:
                    if base == "string":
                        value = value.encode() if isinstance(value, str) else bytes(value)
                        keep.append(value)
                    setattr(target, field, value)
                else:
                    self._fill(getattr(target, field), base, value, keep)
                continue
            if array >= 0 and len(value) != array:
                raise ValueError(f"{type_name}.{field} holds {array} values, not {len(value)}")
            if base in _PRIMITIVES:
                ctype = _PRIMITIVES[base][0]
                if ctype in (ctypes.c_uint8, ctypes.c_int8) and base != "bool":
                    block = np.frombuffer(value, dtype=np.uint8) if isinstance(
                        value, (bytes, bytearray, memoryview)) else np.ascontiguousarray(value).view(np.uint8).reshape(-1)
                    if array >= 0:
                        ctypes.memmove(ctypes.addressof(target) + getattr(type(target), field).offset,
                                       block.ctypes.data, array)
                        continue
                    keep.append(block)
                    pointer, n = block.ctypes.data, block.size
                else:
                    if base == "string":
                        encoded = [v.encode() if isinstance(v, str) else bytes(v) for v in value]
                        keep.append(encoded)
                        value = encoded
                    if array >= 0:
                        setattr(target, field, (ctype * array)(*value))
                        continue
                    block = (ctype * len(value))(*value)
                    keep.append(block)
                    pointer, n = ctypes.addressof(block), len(value)
            else:
                block = (self._structs[base] * len(value))()
                for i, item in enumerate(value):
                    self._fill(block[i], base, item, keep)
                if array >= 0:
                    setattr(target, field, block)
                    continue
                keep.append(block)
                pointer, n = ctypes.addressof(block), len(value)
            seq = getattr(target, field)
            seq._maximum = seq._length = n
            seq._buffer = pointer if n else None
            seq._release = False

    def read(self, address):
        """The sample at `address` (the library's memory) as nested
        SimpleNamespaces: strings as str, byte sequences as bytes, other
        arrays as lists; everything is copied."""
        return self._read(self._structs[_short(self.ros_type)].from_address(address),
                          _short(self.ros_type))

    def _read(self, source, type_name):
        out = {}
        for field, base, array in self._fields[type_name]:
            value = getattr(source, field)
            if array is None:
                if base == "string":
                    value = (value or b"").decode(errors="replace")
                elif base not in _PRIMITIVES:
                    value = self._read(value, base)
            elif array < 0:
                n, pointer = value._length, value._buffer
                if base in _PRIMITIVES:
                    ctype = _PRIMITIVES[base][0]
                    if ctype is ctypes.c_uint8 and base != "bool":
                        value = ctypes.string_at(pointer, n) if n else b""
                    else:
                        items = (ctype * n).from_address(pointer) if n else []
                        value = [(v or b"").decode(errors="replace") if base == "string" else v
                                 for v in items]
                else:
                    items = (self._structs[base] * n).from_address(pointer) if n else []
                    value = [self._read(v, base) for v in items]
            else:
                if base in _PRIMITIVES:
                    value = bytes(value) if _PRIMITIVES[base][0] is ctypes.c_uint8 and base != "bool" \
                        else list(value)
                else:
                    value = [self._read(v, base) for v in value]
            out[field] = value
        return SimpleNamespace(**out)


# Entities ----------------------------------------------------------------
class Qos:
    """The policies used here: reliability, durability and KEEP_LAST depth,
    and for a participant its USER_DATA."""

    def __init__(self, reliable=True, transient_local=False, depth=5, userdata=None,
                 max_blocking_s=0.1):
        self.reliable, self.transient_local, self.depth = reliable, transient_local, depth
        self.userdata, self.max_blocking_s = userdata, max_blocking_s

    def _make(self, lib, endpoint=True):
        q = lib.dds_create_qos()
        if self.userdata is not None:
            data = bytes(self.userdata)
            lib.dds_qset_userdata(q, data, len(data))
        if endpoint:
            lib.dds_qset_reliability(q, 1 if self.reliable else 0, int(self.max_blocking_s * 1e9))
            lib.dds_qset_durability(q, 1 if self.transient_local else 0)
            lib.dds_qset_history(q, 0, int(self.depth))
            # ROS 2 peers speak plain CDR (XCDR1).
            reps = (ctypes.c_int16 * 1)(_XCDR1)
            lib.dds_qset_data_representation(q, 1, reps)
        return q


class Participant:
    """A domain participant; closing it deletes every entity it made."""

    def __init__(self, domain=0, qos=None, config=None):
        self._lib = library()
        self._handle = None
        self.domain = int(domain)
        if config is not None:
            # A domain of our own configuration, which the participant joins;
            # where this process already has the domain, it is joined as it
            # is. The domain stays until the process ends: deleting it would
            # delete every participant in it, other users' too.
            self._lib.dds_create_domain(self.domain, config.encode())
        q = (qos or Qos())._make(self._lib, endpoint=False)
        try:
            self._handle = _check(self._lib.dds_create_participant(self.domain, q, None),
                                  f"joining DDS domain {self.domain}")
        finally:
            self._lib.dds_delete_qos(q)
        self._topics = {}

    @property
    def guid(self):
        return guid(self._handle)

    def topic(self, name, message_type):
        key = (name, message_type.name)
        if key not in self._topics:
            handle = _check(self._lib.dds_create_topic(
                self._handle, ctypes.byref(message_type.descriptor), name.encode(), None, None),
                f"creating topic {name} ({message_type.name})")
            self._topics[key] = (handle, message_type)
        return self._topics[key]

    def writer(self, topic, qos):
        return Writer(self, topic, qos)

    def reader(self, topic, qos):
        return Reader(self, topic, qos)

    def close(self):
        if self._handle is not None:
            self._lib.dds_delete(self._handle)
            self._handle = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


def guid(entity):
    g = _Guid()
    _check(library().dds_get_guid(entity, ctypes.byref(g)), "reading a GUID")
    return bytes(g.v)


class Writer:
    def __init__(self, participant, topic, qos):
        self._lib = participant._lib
        self.topic_handle, self.type = topic
        q = qos._make(self._lib)
        try:
            self.handle = _check(self._lib.dds_create_writer(participant._handle, self.topic_handle,
                                                             q, None), "creating a writer")
        finally:
            self._lib.dds_delete_qos(q)

    @property
    def guid(self):
        return guid(self.handle)

    def write(self, message, timestamp_ns=None):
        sample, keep = self.type.fill(message)
        if timestamp_ns is None:
            rc = self._lib.dds_write(self.handle, ctypes.byref(sample))
        else:
            rc = self._lib.dds_write_ts(self.handle, ctypes.byref(sample), int(timestamp_ns))
        del keep
        return _check(rc, f"writing a {self.type.ros_type}")

    def matched(self):
        """How many readers this writer is matched with now."""
        status = _MatchedStatus()
        _check(self._lib.dds_get_publication_matched_status(self.handle, ctypes.byref(status)),
               "reading the matched readers")
        return status.current_count


class Reader:
    """Takes samples; `take(timeout)` waits up to `timeout` seconds for
    some and returns [(message, SampleInfo)] (the messages copied out)."""

    def __init__(self, participant, topic, qos, batch=8):
        self._lib = participant._lib
        self.topic_handle, self.type = topic
        q = qos._make(self._lib)
        try:
            self.handle = _check(self._lib.dds_create_reader(participant._handle, self.topic_handle,
                                                             q, None), "creating a reader")
        finally:
            self._lib.dds_delete_qos(q)
        self._batch = batch
        self._waitset = _check(self._lib.dds_create_waitset(participant._handle), "creating a waitset")
        cond = _check(self._lib.dds_create_readcondition(self.handle, _ANY_STATE),
                      "creating a read condition")
        _check(self._lib.dds_waitset_attach(self._waitset, cond, 1), "attaching a read condition")
        _check(self._lib.dds_waitset_attach(self._waitset, self._waitset, 0), "attaching a waitset")

    def wake(self):
        """Ends a `take` waiting in another thread (closing)."""
        self._lib.dds_waitset_set_trigger(self._waitset, True)

    def matched(self):
        status = _MatchedStatus()
        _check(self._lib.dds_get_subscription_matched_status(self.handle, ctypes.byref(status)),
               "reading the matched writers")
        return status.current_count

    def take(self, timeout=None):
        out = self._take()
        if out or timeout == 0:
            return out
        wait = INFINITY if timeout is None else max(0, int(timeout * 1e9))
        rc = self._lib.dds_waitset_wait(self._waitset, None, 0, wait)
        if rc < 0 and rc != _RETCODE_TIMEOUT:
            _check(rc, "waiting for samples")
        return self._take()

    def _take(self):
        n = self._batch
        buf = (ctypes.c_void_p * n)()
        infos = (SampleInfo * n)()
        got = _check(self._lib.dds_take(self.handle, buf, infos, n, n), "taking samples")
        if got == 0:
            return []
        try:
            return [(self.type.read(buf[i]) if infos[i].valid_data else None, infos[i])
                    for i in range(got)]
        finally:
            self._lib.dds_return_loan(self.handle, buf, got)


def loopback_config():
    """A Cyclone configuration (XML) that keeps a process to 127.0.0.1:
    no multicast, peers found by unicast on this machine only."""
    return ("<CycloneDDS><Domain><General><Interfaces><NetworkInterface address=\"127.0.0.1\"/>"
            "</Interfaces><AllowMulticast>false</AllowMulticast></General><Discovery>"
            "<ParticipantIndex>auto</ParticipantIndex><MaxAutoParticipantIndex>30"
            "</MaxAutoParticipantIndex><Peers><Peer address=\"127.0.0.1\"/></Peers>"
            "</Discovery></Domain></CycloneDDS>")


def environment_domain():
    """ROS_DOMAIN_ID as ROS 2 reads it (0 when unset)."""
    text = os.environ.get("ROS_DOMAIN_ID", "").strip()
    if not text:
        return 0
    try:
        domain = int(text)
    except ValueError:
        raise ValueError(f"ROS_DOMAIN_ID must be a whole number, not {text!r}") from None
    if not 0 <= domain <= 232:
        raise ValueError(f"ROS_DOMAIN_ID must be between 0 and 232, not {domain}")
    return domain
