"""Where every field of a ZIP archive lies, so mutants can change one field at a time.

The parse follows the archive from its end record, as a careful reader does, and records absolute
positions. It is meant for the well-formed seeds; mutants are never parsed.
"""

import struct

EOCD_SIG = b"PK\x05\x06"
EOCD64_SIG = b"PK\x06\x06"
LOCATOR_SIG = b"PK\x06\x07"
CENTRAL_SIG = b"PK\x01\x02"
LOCAL_SIG = b"PK\x03\x04"
DESCRIPTOR_SIG = b"PK\x07\x08"

# (name, offset, size, kind) of each record's fixed fields. The kind chooses the values a mutant tries.
EOCD_FIELDS = [
    ("signature", 0, 4, "sig"), ("disk", 4, 2, "disk"), ("directory-disk", 6, 2, "disk"),
    ("entries-on-disk", 8, 2, "count"), ("entries-total", 10, 2, "count"), ("directory-size", 12, 4, "size"),
    ("directory-offset", 16, 4, "offset"), ("comment-length", 20, 2, "length"),
]
EOCD64_FIELDS = [
    ("signature", 0, 4, "sig"), ("record-size", 4, 8, "size"), ("version-needed", 14, 2, "version"),
    ("disk", 16, 4, "disk"), ("directory-disk", 20, 4, "disk"), ("entries-on-disk", 24, 8, "count"),
    ("entries-total", 32, 8, "count"), ("directory-size", 40, 8, "size"), ("directory-offset", 48, 8, "offset"),
]
LOCATOR_FIELDS = [
    ("signature", 0, 4, "sig"), ("record-disk", 4, 4, "disk"), ("record-offset", 8, 8, "offset"),
    ("disks", 16, 4, "count"),
]
CENTRAL_FIELDS = [
    ("signature", 0, 4, "sig"), ("version-needed", 6, 2, "version"), ("flags", 8, 2, "flags"),
    ("method", 10, 2, "method"), ("crc", 16, 4, "crc"), ("compressed-size", 20, 4, "size"),
    ("size", 24, 4, "size"), ("name-length", 28, 2, "length"), ("extra-length", 30, 2, "length"),
    ("comment-length", 32, 2, "length"), ("disk", 34, 2, "disk"), ("local-offset", 42, 4, "offset"),
]
LOCAL_FIELDS = [
    ("signature", 0, 4, "sig"), ("version-needed", 4, 2, "version"), ("flags", 6, 2, "flags"),
    ("method", 8, 2, "method"), ("crc", 14, 4, "crc"), ("compressed-size", 18, 4, "size"),
    ("size", 22, 4, "size"), ("name-length", 26, 2, "length"), ("extra-length", 28, 2, "length"),
]


def u16(data, pos):
    return struct.unpack_from("<H", data, pos)[0]


def u32(data, pos):
    return struct.unpack_from("<I", data, pos)[0]


def u64(data, pos):
    return struct.unpack_from("<Q", data, pos)[0]


class Extra:
    """One extra field: its id, where its 4-byte header starts, its data size, and for zip64 the
    absolute positions of its 8-byte values by meaning (size, compressed-size, local-offset)."""

    def __init__(self, ident, pos, size):
        self.ident = ident
        self.pos = pos
        self.size = size
        self.slots = []  # [(meaning, absolute position)]


def _extras(data, start, length):
    out = []
    pos = start
    while pos + 4 <= start + length:
        ident, size = struct.unpack_from("<HH", data, pos)
        out.append(Extra(ident, pos, size))
        pos += 4 + size
    return out


def _zip64_slots(extra, wanted):
    """Names the 8-byte values of a zip64 field in order; `wanted` lists the meanings the header asks for."""
    count = extra.size // 8
    names = list(wanted) + ["slot%d" % i for i in range(len(wanted), count)]
    extra.slots = [(names[i], extra.pos + 4 + 8 * i) for i in range(count)]


class Header:
    def __init__(self, pos):
        self.pos = pos
        self.extras = []


class Layout:
    def __init__(self, data):
        self.data = data
        self.eocd = data.rfind(EOCD_SIG)
        if self.eocd < 0:
            raise ValueError("no end record")
        self.locator = self.eocd - 20 if data[self.eocd - 20:self.eocd - 16] == LOCATOR_SIG else None
        self.eocd64 = None
        stored_offset = u32(data, self.eocd + 16)
        size = u32(data, self.eocd + 12)
        count = u16(data, self.eocd + 10)
        end_of_directory = self.eocd
        if self.locator is not None:
            # The record offset counts from the ZIP data too; the record sits right before the locator.
            self.eocd64 = data.rfind(EOCD64_SIG, 0, self.locator)
            stored_offset = u64(data, self.eocd64 + 48)
            size = u64(data, self.eocd64 + 40)
            count = u64(data, self.eocd64 + 32)
            end_of_directory = self.eocd64
        self.directory = end_of_directory - size
        self.directory_size = size
        self.shift = self.directory - stored_offset  # bytes in front of the ZIP data the offsets ignore
        self.central = []
        pos = self.directory
        for _ in range(count):
            if data[pos:pos + 4] != CENTRAL_SIG:
                raise ValueError("central header %d not found" % len(self.central))
            h = Header(pos)
            h.name_length, h.extra_length, h.comment_length = struct.unpack_from("<HHH", data, pos + 28)
            h.name = data[pos + 46:pos + 46 + h.name_length]
            h.extras = _extras(data, pos + 46 + h.name_length, h.extra_length)
            h.flags = u16(data, pos + 8)
            size32, csize32, offset32 = u32(data, pos + 24), u32(data, pos + 20), u32(data, pos + 42)
            wanted = [m for m, v in (("size", size32), ("compressed-size", csize32), ("local-offset", offset32))
                      if v == 0xFFFFFFFF]
            h.compressed_size, h.local_offset = csize32, offset32
            for x in h.extras:
                if x.ident == 1:
                    _zip64_slots(x, wanted)
                    for meaning, at in x.slots:
                        if meaning == "compressed-size":
                            h.compressed_size = u64(data, at)
                        elif meaning == "local-offset":
                            h.local_offset = u64(data, at)
            self.central.append(h)
            pos += 46 + h.name_length + h.extra_length + h.comment_length
        self.local = []
        for c in self.central:
            at = c.local_offset + self.shift
            if data[at:at + 4] != LOCAL_SIG:
                raise ValueError("local header of %r not found" % c.name)
            h = Header(at)
            h.name_length, h.extra_length = struct.unpack_from("<HH", data, at + 26)
            h.extras = _extras(data, at + 30 + h.name_length, h.extra_length)
            for x in h.extras:
                if x.ident == 1:
                    _zip64_slots(x, ["size", "compressed-size"])
            h.flags = u16(data, at + 6)
            h.data = at + 30 + h.name_length + h.extra_length
            h.data_end = h.data + c.compressed_size
            h.descriptor = None
            h.end = h.data_end
            if (h.flags | c.flags) & 8:
                h.descriptor = h.data_end
                signed = data[h.data_end:h.data_end + 4] == DESCRIPTOR_SIG
                wide = any(x.ident == 1 for x in h.extras)
                h.descriptor_signed = signed
                h.descriptor_wide = wide
                h.end = h.data_end + (4 if signed else 0) + (20 if wide else 12)
            self.local.append(h)

    def offset_fields(self):
        """Every stored offset with where it lies: (absolute field position, width, absolute target)."""
        out = []
        data = self.data
        for c in self.central:
            slot = next((at for x in c.extras if x.ident == 1 for m, at in x.slots if m == "local-offset"), None)
            if slot is not None:
                out.append((slot, 8, u64(data, slot) + self.shift))
            else:
                out.append((c.pos + 42, 4, u32(data, c.pos + 42) + self.shift))
        if u32(data, self.eocd + 16) != 0xFFFFFFFF:
            out.append((self.eocd + 16, 4, u32(data, self.eocd + 16) + self.shift))
        if self.eocd64 is not None:
            out.append((self.eocd64 + 48, 8, u64(data, self.eocd64 + 48) + self.shift))
            out.append((self.locator + 8, 8, u64(data, self.locator + 8) + self.shift))
        return out

    def directory_size_fields(self):
        out = []
        if u32(self.data, self.eocd + 12) != 0xFFFFFFFF:
            out.append((self.eocd + 12, 4))
        if self.eocd64 is not None:
            out.append((self.eocd64 + 40, 8))
        return out


def put(data, pos, width, value):
    fmt = {2: "<H", 4: "<I", 8: "<Q"}[width]
    data[pos:pos + width] = struct.pack(fmt, value & ((1 << (8 * width)) - 1))


def get(data, pos, width):
    fmt = {2: "<H", 4: "<I", 8: "<Q"}[width]
    return struct.unpack_from(fmt, data, pos)[0]


def insert_adjusted(layout, pos, blob, length_fields=()):
    """Inserts blob at pos and moves every stored offset, directory size and the given (position,
    width) length fields along, so the archive stays consistent apart from what the blob itself is."""
    data = bytearray(layout.data)
    n = len(blob)
    for at, width, target in layout.offset_fields():
        if target >= pos:
            put(data, at, width, get(data, at, width) + n)
    if layout.directory < pos <= layout.directory + layout.directory_size:
        for at, width in layout.directory_size_fields():
            put(data, at, width, get(data, at, width) + n)
    for at, width in length_fields:
        put(data, at, width, get(data, at, width) + n)
    data[pos:pos] = blob
    return bytes(data)


def remove_adjusted(layout, pos, n, length_fields=()):
    """Removes n bytes at pos, moving offsets and sizes back as insert_adjusted moves them on."""
    data = bytearray(layout.data)
    for at, width, target in layout.offset_fields():
        if target >= pos + n:
            put(data, at, width, get(data, at, width) - n)
    if layout.directory < pos < layout.directory + layout.directory_size:
        for at, width in layout.directory_size_fields():
            put(data, at, width, get(data, at, width) - n)
    for at, width in length_fields:
        put(data, at, width, get(data, at, width) - n)
    del data[pos:pos + n]
    return bytes(data)
