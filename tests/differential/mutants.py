"""Structured one-change mutants of a seed archive.

Each mutant changes one thing: one field of one record, one byte of data, the file's length, or bytes
inserted somewhere. Its id names the seed, the record, the field and the change
(`python-zip64/central1/compressed-size/plus1`), never a position, so ids stay the same when a writer
changes a few bytes and the allow-list keeps matching. Everything is deterministic.
"""

import struct

from layout import (CENTRAL_FIELDS, EOCD64_FIELDS, EOCD_FIELDS, LOCAL_FIELDS, LOCATOR_FIELDS, Layout, get,
                    insert_adjusted, put, remove_adjusted)

METHODS = [0, 1, 6, 8, 9, 12, 14, 20, 93, 98, 99, 0xFFFF]


def _variants(kind, width, value):
    """(change name, new value) pairs for one field."""
    top = (1 << (8 * width)) - 1
    if kind == "sig":
        return [("broken", value ^ (0x01 << (8 * (width - 1))))]
    if kind == "flags":
        return [("bit%d" % b, value ^ (1 << b)) for b in range(16)]
    if kind == "method":
        return [("method%d" % m, m) for m in METHODS if m != value]
    if kind == "crc":
        return [("plus1", value + 1), ("zero", 0), ("highbit", value ^ 0x80000000)]
    if kind == "version":
        return [("zero", 0), ("v63", 63), ("max", top)]
    if kind == "disk":
        return [("one", 1), ("two", 2), ("max", top)]
    if kind == "length":
        return [("zero", 0), ("plus1", value + 1), ("minus1", value - 1), ("plus4", value + 4), ("max", top)]
    if kind == "count":
        return [("zero", 0), ("plus1", value + 1), ("minus1", value - 1), ("max", top)]
    # sizes and offsets
    return [("zero", 0), ("plus1", value + 1), ("minus1", value - 1), ("plus4", value + 4),
            ("minus4", value - 4), ("plus16", value + 16), ("minus16", value - 16), ("max", top)]


def _field_mutants(data, base, fields, prefix):
    for name, offset, width, kind in fields:
        pos = base + offset
        value = get(data, pos, width)
        for change, new in _variants(kind, width, value):
            if new < 0 or new > (1 << (8 * width)) - 1:
                continue
            out = bytearray(data)
            put(out, pos, width, new)
            yield "%s/%s/%s" % (prefix, name, change), bytes(out)


def _extra_mutants(layout, header, prefix, length_field):
    """The zip64 extra field of a header: its values, its size, duplicated, cut."""
    data = layout.data
    for x in header.extras:
        if x.ident != 1:
            continue
        tag = "%s/zip64" % prefix
        for meaning, at in x.slots:
            for change, new in _variants("size", 8, get(data, at, 8)):
                if 0 <= new < (1 << 64):
                    out = bytearray(data)
                    put(out, at, 8, new)
                    yield "%s/%s/%s" % (tag, meaning, change), bytes(out)
        for change, new in (("zero", 0), ("minus8", x.size - 8), ("plus8", x.size + 8)):
            if new >= 0:
                out = bytearray(data)
                put(out, x.pos + 2, 2, new)
                yield "%s/field-size/%s" % (tag, change), bytes(out)
        whole = data[x.pos:x.pos + 4 + x.size]
        yield "%s/duplicated" % tag, insert_adjusted(layout, x.pos + 4 + x.size, whole, [(length_field, 2)])
        if x.size >= 8:
            # The last value cut away, the field's own size and the header's extra length following.
            cut = remove_adjusted(layout, x.pos + 4 + x.size - 8, 8, [(length_field, 2)])
            cut = bytearray(cut)
            put(cut, x.pos + 2, 2, x.size - 8)
            yield "%s/cut" % tag, bytes(cut)


def _added_zip64(layout, central, local, index, prefix):
    """A zip64 field added to a local header that has none: with the central sizes, and with sizes
    that differ from them."""
    if any(x.ident == 1 for x in local.extras):
        return
    size = get(layout.data, central.pos + 24, 4)
    csize = central.compressed_size
    at = local.pos + 30 + local.name_length + local.extra_length
    length_field = local.pos + 28
    for change, values in (("added-same", (size, csize)), ("added-different", (size + 1, csize + 1))):
        blob = struct.pack("<HHQQ", 1, 16, *values)
        yield "%s/zip64/%s" % (prefix, change), insert_adjusted(layout, at, blob, [(length_field, 2)])
    blob = struct.pack("<HHQQ", 1, 16, size, csize) * 2
    yield "%s/zip64/added-twice" % prefix, insert_adjusted(layout, at, blob, [(length_field, 2)])


def _descriptor_mutants(layout, local, prefix):
    if local.descriptor is None:
        return
    data = layout.data
    pos = local.descriptor
    tag = "%s/descriptor" % prefix
    if local.descriptor_signed:
        out = bytearray(data)
        out[pos + 3] ^= 1
        yield "%s/signature/broken" % tag, bytes(out)
        pos += 4
    width = 8 if local.descriptor_wide else 4
    for name, at, w in (("crc", pos, 4), ("compressed-size", pos + 4, width), ("size", pos + 4 + width, width)):
        out = bytearray(data)
        put(out, at, w, get(data, at, w) + 1)
        yield "%s/%s/plus1" % (tag, name), bytes(out)


def _chosen_entries(layout):
    """Every entry for the records that matter most, with the purge entry among them: first, the purge
    entry, last. Keeps a seed's mutants near six hundred."""
    count = len(layout.central)
    purge = next((i for i, c in enumerate(layout.central) if c.name == b"purge-me.txt"), 0)
    return sorted({0, purge, count - 1})


def mutants(seed_name, data):
    """Yields (id, bytes) for every mutant of one seed, in a fixed order; a change that leaves the
    bytes as they were (zero for a field that is zero) is no mutant."""
    for mid, out in _all_mutants(seed_name, data):
        if out != data:
            yield mid, out


def _all_mutants(seed_name, data):
    layout = Layout(data)
    for mid, out in _field_mutants(data, layout.eocd, EOCD_FIELDS, "end"):
        yield "%s/%s" % (seed_name, mid), out
    if layout.eocd64 is not None:
        for mid, out in _field_mutants(data, layout.eocd64, EOCD64_FIELDS, "end64"):
            yield "%s/%s" % (seed_name, mid), out
        for mid, out in _field_mutants(data, layout.locator, LOCATOR_FIELDS, "locator"):
            yield "%s/%s" % (seed_name, mid), out
    for i in _chosen_entries(layout):
        central, local = layout.central[i], layout.local[i]
        for mid, out in _field_mutants(data, central.pos, CENTRAL_FIELDS, "central%d" % i):
            yield "%s/%s" % (seed_name, mid), out
        for mid, out in _field_mutants(data, local.pos, LOCAL_FIELDS, "local%d" % i):
            yield "%s/%s" % (seed_name, mid), out
        # A name that differs between the two headers.
        for prefix, at in (("central%d" % i, central.pos + 46), ("local%d" % i, local.pos + 30)):
            if central.name_length:
                out = bytearray(data)
                out[at] ^= 0x20
                yield "%s/%s/name/changed" % (seed_name, prefix), bytes(out)
        for mid, out in _extra_mutants(layout, central, "central%d" % i, central.pos + 30):
            yield "%s/%s" % (seed_name, mid), out
        for mid, out in _extra_mutants(layout, local, "local%d" % i, local.pos + 28):
            yield "%s/%s" % (seed_name, mid), out
        for mid, out in _added_zip64(layout, central, local, i, "local%d" % i):
            yield "%s/%s" % (seed_name, mid), out
        for mid, out in _descriptor_mutants(layout, local, "local%d" % i):
            yield "%s/%s" % (seed_name, mid), out
    for i, local in enumerate(layout.local):
        length = local.data_end - local.data
        for where, at in (("first", local.data), ("middle", local.data + length // 2),
                          ("last", local.data_end - 1)):
            if length > 0:
                out = bytearray(data)
                out[at] ^= 0x55
                yield "%s/data%d/flipped/%s" % (seed_name, i, where), bytes(out)
    yield from _truncations(seed_name, layout)
    yield from _insertions(seed_name, layout)


def _truncations(seed_name, layout):
    data = layout.data
    last = layout.local[-1]
    cuts = [
        ("last-byte", len(data) - 1),
        ("in-end-record", layout.eocd + 10),
        ("before-end-record", layout.eocd),
        ("mid-directory", layout.directory + layout.directory_size // 2),
        ("at-directory", layout.directory),
        ("mid-last-entry", (last.data + last.data_end) // 2),
        ("half", len(data) // 2),
        ("in-first-header", layout.local[0].pos + 10),
    ]
    for name, at in cuts:
        yield "%s/truncated/%s" % (seed_name, name), data[:at]


def _insertions(seed_name, layout):
    """Bytes inserted without touching any offset, and (adjusted) with every offset moved along."""
    data = layout.data
    end_records = layout.eocd64 if layout.eocd64 is not None else layout.eocd
    points = [("before-first-entry", layout.local[0].pos)]
    points += [("between-entries%d" % i, layout.local[i + 1].pos) for i in range(len(layout.local) - 1)
               if layout.local[i + 1].pos == layout.local[i].end]
    points += [("before-directory", layout.directory), ("before-end-record", end_records),
               ("after-end-record", len(data))]
    for name, at in points:
        for size in (1, 16, 100):
            blob = bytes((0x20 + (i * 7 + size) % 90) for i in range(size))
            yield "%s/inserted/%s/%d" % (seed_name, name, size), data[:at] + blob + data[at:]
        if name != "after-end-record":
            blob = b"\0" * 16
            yield "%s/inserted-adjusted/%s/16" % (seed_name, name), insert_adjusted(layout, at, blob)
