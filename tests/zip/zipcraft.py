"""Builds zip archives field by field, so that tests can get every header
wrong in exactly one place."""
import struct
import zlib

LOCAL_SIGNATURE = 0x04034B50
CENTRAL_SIGNATURE = 0x02014B50
END_SIGNATURE = 0x06054B50
DESCRIPTOR_SIGNATURE = 0x08074B50

HOST_DOS = 0
HOST_UNIX = 3
HOST_NTFS = 11


def dos_date_time(year, month, day, hour, minute, second):
    date = ((year - 1980) << 9) | (month << 5) | day
    time = (hour << 11) | (minute << 5) | (second // 2)
    return date, time


def ut_block(flags, *seconds, declared=None):
    data = bytes([flags]) + b"".join(struct.pack("<i", s) for s in seconds)
    size = len(data) if declared is None else declared
    return b"UT" + struct.pack("<H", size) + data


def _crc_table():
    table = []
    for n in range(256):
        c = n
        for _ in range(8):
            c = (0xEDB88320 ^ (c >> 1)) if c & 1 else c >> 1
        table.append(c)
    return table


_TABLE = _crc_table()


class _Cipher:
    """The zip format's traditional encryption."""

    def __init__(self, password):
        self.keys = [0x12345678, 0x23456789, 0x34567890]
        for byte in password:
            self._update(byte)

    def _crc(self, crc, byte):
        return _TABLE[(crc ^ byte) & 0xFF] ^ (crc >> 8)

    def _update(self, byte):
        k = self.keys
        k[0] = self._crc(k[0], byte)
        k[1] = ((k[1] + (k[0] & 0xFF)) * 134775813 + 1) & 0xFFFFFFFF
        k[2] = self._crc(k[2], (k[1] >> 24) & 0xFF)

    def encrypt(self, data):
        out = bytearray()
        for byte in data:
            temp = (self.keys[2] | 2) & 0xFFFF
            out.append(byte ^ (((temp * (temp ^ 1)) >> 8) & 0xFF))
            self._update(byte)
        return bytes(out)


class Member:
    def __init__(self, name, data=b"", method=8, *, host=HOST_UNIX, external=None, flags=0,
                 when=(2021, 6, 15, 13, 45, 30), date_time=None, local_extra=b"", central_extra=b"",
                 password=None, descriptor=False, crc=None, local=None, central=None):
        self.name = name.encode("utf-8") if isinstance(name, str) else name
        self.data = data
        self.method = method
        self.host = host
        if external is None:
            mode = 0o040755 if self.name.endswith(b"/") else 0o100644
            external = (mode << 16) | (0x10 if self.name.endswith(b"/") else 0)
        self.external = external
        self.flags = flags | (8 if descriptor else 0) | (1 if password is not None else 0)
        self.date, self.time = date_time if date_time is not None else dos_date_time(*when)
        self.local_extra = local_extra
        self.central_extra = central_extra
        self.password = password
        self.descriptor = descriptor
        self.crc = zlib.crc32(data) if crc is None else crc
        # Field overrides for one header only: disagreement on purpose.
        self.local = local or {}
        self.central = central or {}

    def payload(self):
        if self.method == 8:
            packer = zlib.compressobj(6, zlib.DEFLATED, -15)
            body = packer.compress(self.data) + packer.flush()
        else:
            body = self.data
        if self.password is not None:
            check = (self.time >> 8) & 0xFF if self.descriptor else (self.crc >> 24) & 0xFF
            cipher = _Cipher(self.password)
            body = cipher.encrypt(bytes(range(7, 18)) + bytes([check])) + cipher.encrypt(body)
        return body


def build(members, *, end=None, tail=b""):
    """The archive's bytes; also records each member's offsets on it."""
    out = bytearray()
    central = bytearray()
    end = end or {}
    for m in members:
        body = m.payload()
        m.local_offset = len(out)
        f = dict(signature=LOCAL_SIGNATURE, needed=20, flags=m.flags, method=m.method, time=m.time,
                 date=m.date, crc=m.crc, csize=len(body), usize=len(m.data), name_len=len(m.name),
                 extra_len=len(m.local_extra))
        if m.descriptor:
            f.update(crc=0, csize=0, usize=0)
        f.update(m.local)
        out += struct.pack("<IHHHHHIIIHH", f["signature"], f["needed"], f["flags"], f["method"], f["time"],
                           f["date"], f["crc"], f["csize"], f["usize"], f["name_len"], f["extra_len"])
        out += m.name + m.local_extra + body
        if m.descriptor:
            out += struct.pack("<IIII", DESCRIPTOR_SIGNATURE, m.crc, len(body), len(m.data))
        c = dict(signature=CENTRAL_SIGNATURE, made_by=(m.host << 8) | 20, needed=20, flags=m.flags,
                 method=m.method, time=m.time, date=m.date, crc=m.crc, csize=len(body), usize=len(m.data),
                 name_len=len(m.name), extra_len=len(m.central_extra), external=m.external,
                 offset=m.local_offset)
        c.update(m.central)
        m.central_offset = None
        central_entry = struct.pack("<IHHHHHHIIIHHHHHII", c["signature"], c["made_by"], c["needed"],
                                    c["flags"], c["method"], c["time"], c["date"], c["crc"], c["csize"],
                                    c["usize"], c["name_len"], c["extra_len"], 0, 0, 0, c["external"],
                                    c["offset"])
        m.central_relative = len(central)
        central += central_entry + m.name + m.central_extra
    cd_offset = len(out)
    for m in members:
        m.central_offset = cd_offset + m.central_relative
    out += central
    e = dict(disk=0, cd_disk=0, here=len(members), total=len(members), cd_size=len(central),
             cd_offset=cd_offset)
    e.update(end)
    out += struct.pack("<IHHHHIIH", END_SIGNATURE, e["disk"], e["cd_disk"], e["here"], e["total"],
                       e["cd_size"], e["cd_offset"], 0)
    return bytes(out) + tail
