"""Scores a salvaged copy against the undamaged archives its damaged file was made from.

An entry is compared by what salvage promises to copy byte for byte: its name, method, CRC-32, size and
compressed bytes, so entries of methods Python cannot decode are scored too.

- right: a salvaged entry equal to an original entry of its name;
- wrong: a salvaged entry equal to no original entry of its name (a wrong name, wrong bytes, an invented
  entry): must be 0;
- duplicate: a right entry salvaged again;
- intact: an original entry whose local header and data appear unchanged in the damaged file (what a
  perfect salvage recovers), and recovered: those of them salvaged right.
"""

import collections
import io
import struct
import zipfile


def entries(data):
    """[(name, key)] of an archive's entries as Python reads its directory, key being (method, CRC, size,
    compressed bytes), plus the bytes of each local header with its data; [] when it does not open."""
    try:
        archive = zipfile.ZipFile(io.BytesIO(data))
        infos = archive.infolist()
    except Exception:
        return []
    out = []
    for info in infos:
        at = info.header_offset
        if data[at:at + 4] != b"PK\x03\x04":
            continue
        name_len, extra_len = struct.unpack_from("<HH", data, at + 26)
        start = at + 30 + name_len + extra_len
        raw = data[start:start + info.compress_size]
        key = (info.compress_type, info.CRC, info.file_size, raw)
        out.append((info.filename, key, data[at:start + info.compress_size]))
    return out


Score = collections.namedtuple("Score", "right wrong duplicate intact recovered")


def score(damaged, originals, salvaged):
    """The counts for one damaged file: originals are the undamaged archives it was made from, salvaged
    the copy's bytes (None when salvage made none)."""
    wanted = collections.defaultdict(set)
    intact = set()
    for original in originals:
        for name, key, whole in entries(original):
            wanted[name].add(key)
            if whole in damaged:
                intact.add((name, key))
    right = wrong = duplicate = 0
    seen = set()
    for name, key, _ in entries(salvaged) if salvaged else []:
        if key not in wanted.get(name, ()):
            wrong += 1
        elif (name, key) in seen:
            duplicate += 1
        else:
            right += 1
            seen.add((name, key))
    return Score(right, wrong, duplicate, len(intact), len(intact & seen))


def summarize(rows):
    """rows: [(damage kind, Score, salvaged copy made, copy judged bad)], one per file the program called
    damaged. A table by kind, and the totals."""
    kinds = collections.OrderedDict()
    for kind, s, made, bad in sorted(rows, key=lambda r: r[0]):
        k = kinds.setdefault(kind, collections.Counter())
        k["files"] += 1
        k["copies"] += 1 if made else 0
        k["copies judged bad"] += 1 if bad else 0
        for field in Score._fields:
            k[field] += getattr(s, field)
    columns = ["files", "copies", "intact", "recovered", "right", "wrong", "duplicate", "copies judged bad"]
    header = "%-26s" % "salvage by damage kind" + "".join("%10s" % c.split()[-1] for c in columns)
    lines = ["", header, "-" * len(header)]
    total = collections.Counter()
    for kind, k in kinds.items():
        total.update(k)
        lines.append("%-26s" % kind + "".join("%10d" % k[c] for c in columns))
    lines.append("-" * len(header))
    lines.append("%-26s" % "total" + "".join("%10d" % total[c] for c in columns))
    lines.append("(files: renamed as damaged; copies: salvaged copies made; bad: copies a judge refuses;\n"
                 " recovered: intact entries salvaged right)")
    return "\n".join(lines), total
