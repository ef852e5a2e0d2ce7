"""Realistic damage: what failing disks, interrupted downloads, noisy lines and careless transfers do to
whole files, applied to the seeds for the second campaign.

Each damaged file's id names the seed, the kind of damage and where it struck as a share of the file or a
block number (`jar-classes/zeroed-4k/block3`, `python-deflate/bit-flip/50pct`), never a byte position, so
ids stay the same when a writer changes a few bytes. Everything is deterministic: the random bytes of a
burst or the bit of a flip come from a generator seeded by the id.
"""

import hashlib
import random

SHARES = (10, 30, 50, 70, 90)  # where a burst, a flip, a lost or a repeated chunk strikes, in percent
CUTS = (10, 25, 50, 75, 90, 99)  # where a download was interrupted, in percent
MAX_BLOCKS = 8  # zeroed blocks tried per seed and block size, spread over the file


def _rng(mid):
    return random.Random(int.from_bytes(hashlib.sha1(mid.encode()).digest()[:8], "little"))


def _at(data, percent):
    return len(data) * percent // 100


def _zeroed(seed, data, size, tag):
    """Failed sectors read back as zeros: one aligned run of `size` bytes at a time."""
    blocks = (len(data) + size - 1) // size
    chosen = sorted({i * blocks // MAX_BLOCKS for i in range(MAX_BLOCKS)}) if blocks > MAX_BLOCKS else range(blocks)
    for block in chosen:
        start = block * size
        out = data[:start] + bytes(min(size, len(data) - start)) + data[start + size:]
        yield "%s/%s/block%d" % (seed, tag, block), out


def _chunk(data):
    """A transfer's unit: 4 KiB, or 512 bytes for a file too small to lose one of those and stay a file."""
    return 4096 if len(data) >= 4 * 4096 else 512


def damaged(seed, data, small_partner, large_partner, junk):
    """Yields (id, bytes, originals) for every damaged file of one seed; originals lists the undamaged
    archives whose entries the file held (two for a concatenation)."""
    yield from ((m, d, [data]) for m, d in _zeroed(seed, data, 4096, "zeroed-4k"))
    yield from ((m, d, [data]) for m, d in _zeroed(seed, data, 512, "zeroed-512"))
    for percent in CUTS:
        yield "%s/truncated-download/%dpct" % (seed, percent), data[:_at(data, percent)], [data]
    for percent in SHARES:
        mid = "%s/burst/%dpct" % (seed, percent)
        rng = _rng(mid)
        at = _at(data, percent)
        noise = bytes(rng.randrange(256) for _ in range(32))
        yield mid, data[:at] + noise[:len(data) - at] + data[at + 32:], [data]
    for percent in SHARES:
        mid = "%s/bit-flip/%dpct" % (seed, percent)
        at = min(_at(data, percent), len(data) - 1)
        out = bytearray(data)
        out[at] ^= 1 << _rng(mid).randrange(8)
        yield mid, bytes(out), [data]
    # FTP in ASCII mode from a Unix host: every LF becomes CR LF.
    yield "%s/text-mode/lf-to-crlf" % seed, data.replace(b"\n", b"\r\n"), [data]
    # A 7-bit line: every byte loses its high bit.
    yield "%s/seven-bit/high-bit-cleared" % seed, bytes(b & 0x7F for b in data), [data]
    # XMODEM sends whole 128-byte blocks, the last one padded with SUB (0x1a).
    if len(data) % 128:
        yield "%s/xmodem/padded" % seed, data + b"\x1a" * (128 - len(data) % 128), [data]
    chunk = _chunk(data)
    for percent in SHARES[1:4]:
        at = _at(data, percent) // chunk * chunk
        yield "%s/lost-chunk/%dpct" % (seed, percent), data[:at] + data[at + chunk:], [data]
        yield "%s/repeated-chunk/%dpct" % (seed, percent), data[:at + chunk] + data[at:], [data]
    # Two archives written one after the other: readers take the second, whose end record ends the file.
    yield "%s/concatenated/small-behind" % seed, data + small_partner, [data, small_partner]
    yield "%s/concatenated/large-behind" % seed, data + large_partner, [data, large_partner]
    for size in (16, 4096):
        yield "%s/junk-in-front/%d" % (seed, size), junk[:size] + data, [data]
        yield "%s/junk-behind/%d" % (seed, size), data + junk[:size], [data]


def junk_text(size=4096):
    """Bytes a mail gateway or a web server puts around a file: headers and a banner, no ZIP record."""
    line = b"X-Gateway: relay.example.org; scanned; no virus found\r\n"
    body = b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n"
    while len(body) < size:
        body += line
    return body[:size]
