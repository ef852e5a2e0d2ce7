"""Seed archives for the campaign, made on this machine by real writers.

Every seed holds a few entries of deterministic text and one entry named purge-me.txt, which the
program's purge list names, so every valid mutant is also a purge test. A writer that is missing only
costs its seeds; make_seeds() says which were made.
"""

import io
import os
import shutil
import subprocess
import zipfile

PURGE_NAME = "purge-me.txt"
FIXED_TIME = 1262304000  # 2010-01-01 00:00 UTC: every writer stores the same times on every run


def text(size, seed):
    """Compressible, deterministic text that differs from seed to seed."""
    words = [b"alpha", b"bravo", b"charlie", b"delta", b"echo", b"foxtrot", b"golf", b"hotel",
             b"india", b"juliet", b"kilo", b"lima", b"mike", b"november", b"oscar", b"papa"]
    out = bytearray()
    state = seed * 2654435761 & 0xFFFFFFFF
    while len(out) < size:
        state = (state * 1103515245 + 12345) & 0x7FFFFFFF
        out += words[(state >> 8) % len(words)]
        out += b"\n" if (state >> 4) % 9 == 0 else b" "
    return bytes(out[:size])


def _entries(seed):
    """Name -> content of a seed's entries, the purge entry second so a purge moves those after it."""
    return [
        ("one.txt", text(2500, seed)),
        (PURGE_NAME, text(300, seed + 100)),
        ("dir/two.txt", text(700, seed + 200)),
        ("three.bin", bytes((i * 7 + seed) & 0xFF for i in range(1200))),
    ]


def _write_tree(folder, seed):
    os.makedirs(folder, exist_ok=True)
    names = []
    for name, data in _entries(seed):
        path = os.path.join(folder, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        os.utime(path, (FIXED_TIME, FIXED_TIME))
        names.append(name)
    return names


def _run(cmd, cwd, stdin=None):
    env = dict(os.environ, TZ="UTC")
    subprocess.run(cmd, cwd=cwd, env=env, input=stdin, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=60)


def _infozip_seeds(out, work):
    made = []
    if not shutil.which("zip"):
        return made
    tree = os.path.join(work, "infozip")
    names = _write_tree(tree, 1)
    variants = [
        ("infozip-plain.zip", []),
        ("infozip-stored.zip", ["-0"]),
        ("infozip-zip64.zip", ["-fz"]),
    ]
    for file, options in variants:
        target = os.path.join(out, file)
        _run(["zip", "-q", "-X"] + options + [target] + names, tree)
        made.append(file)
    # A comment on the archive, given on stdin.
    target = os.path.join(out, "infozip-comment.zip")
    _run(["zip", "-q", "-X", "-z", target] + names, tree, stdin=b"an archive comment\n")
    made.append("infozip-comment.zip")
    # Streamed: written to a pipe, so every entry gets a data descriptor; the first entry ("-") is read
    # from stdin, so its size is unknown when its local header is written.
    target = os.path.join(out, "infozip-streamed.zip")
    streamed = subprocess.run(["zip", "-q", "-X", "-", "-"] + names, cwd=tree, input=text(1800, 77),
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=True, timeout=60,
                              env=dict(os.environ, TZ="UTC")).stdout
    with open(target, "wb") as f:
        f.write(streamed)
    made.append("infozip-streamed.zip")
    # A shell stub in front: once adjusted with -A (offsets count from the file's start), once only
    # concatenated (offsets count from the ZIP data).
    stub = b"#!/bin/sh\necho this is a self-extractor stub\nexit 0\n" + b"\0" * 37
    plain = os.path.join(out, "infozip-plain.zip")
    with open(plain, "rb") as f:
        body = f.read()
    for file, adjust in (("infozip-stub-adjusted.zip", True), ("infozip-stub-concatenated.zip", False)):
        target = os.path.join(out, file)
        with open(target, "wb") as f:
            f.write(stub + body)
        if adjust:
            _run(["zip", "-q", "-A", target], out)
        made.append(file)
    return made


def _python_seeds(out):
    made = []
    methods = [
        ("python-stored.zip", zipfile.ZIP_STORED),
        ("python-deflate.zip", zipfile.ZIP_DEFLATED),
        ("python-bzip2.zip", zipfile.ZIP_BZIP2),
        ("python-lzma.zip", zipfile.ZIP_LZMA),
    ]
    for file, method in methods:
        with zipfile.ZipFile(os.path.join(out, file), "w", compression=method) as z:
            for name, data in _entries(2):
                info = zipfile.ZipInfo(name, date_time=(2010, 1, 1, 0, 0, 0))
                info.compress_type = method
                z.writestr(info, data)
        made.append(file)
    # Streamed: writing to an unseekable stream makes zipfile set bit 3 and write data descriptors.
    for file, method in (("python-streamed-deflate.zip", zipfile.ZIP_DEFLATED),
                         ("python-streamed-stored.zip", zipfile.ZIP_STORED)):
        sink = _Unseekable()
        with zipfile.ZipFile(sink, "w", compression=method) as z:
            for name, data in _entries(3):
                info = zipfile.ZipInfo(name, date_time=(2010, 1, 1, 0, 0, 0))
                info.compress_type = method
                with z.open(info, "w") as w:
                    w.write(data)
        with open(os.path.join(out, file), "wb") as f:
            f.write(sink.getvalue())
        made.append(file)
    # Zip64 forced on every entry (local and central extra fields) and zip64 end records.
    with zipfile.ZipFile(os.path.join(out, "python-zip64.zip"), "w", compression=zipfile.ZIP_DEFLATED) as z:
        for name, data in _entries(4):
            info = zipfile.ZipInfo(name, date_time=(2010, 1, 1, 0, 0, 0))
            info.compress_type = zipfile.ZIP_DEFLATED
            with z.open(info, "w", force_zip64=True) as w:
                w.write(data)
    _force_zip64_end(os.path.join(out, "python-zip64.zip"))
    made.append("python-zip64.zip")
    return made


class _Unseekable(io.RawIOBase):
    def __init__(self):
        super().__init__()
        self._buffer = io.BytesIO()

    def writable(self):
        return True

    def write(self, b):
        return self._buffer.write(b)

    def getvalue(self):
        return self._buffer.getvalue()


def _force_zip64_end(path):
    """zipfile writes zip64 end records only when it must; rewrite the end with them (values unchanged)."""
    import struct
    with open(path, "rb") as f:
        data = f.read()
    end = data.rfind(b"PK\x05\x06")
    if end < 0 or data[end - 20:end - 16] == b"PK\x06\x07":
        return
    _, _, _, count_disk, count, cd_size, cd_offset, comment_len = struct.unpack_from("<IHHHHIIH", data, end)
    record64 = struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, count_disk, count, cd_size, cd_offset)
    locator = struct.pack("<IIQI", 0x07064B50, 0, end, 1)
    end_record = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0)
    with open(path, "wb") as f:
        f.write(data[:end] + record64 + locator + end_record)


def _sevenzip_seeds(out, work):
    made = []
    if not shutil.which("7zz"):
        return made
    tree = os.path.join(work, "7zip")
    names = _write_tree(tree, 5)
    for method in ("Deflate", "Deflate64", "BZip2", "LZMA", "PPMd"):
        file = "7zip-%s.zip" % method.lower()
        _run(["7zz", "a", "-tzip", "-mm=" + method, "-mtc=off", "-mcu=on", os.path.join(out, file)] + names, tree)
        made.append(file)
    return made


def _legacy_seeds(out, work, tool):
    if not tool or not os.path.exists(tool):
        return []
    folder = os.path.join(work, "legacy")
    subprocess.run([tool, folder], check=True, timeout=60)
    made = []
    for file in sorted(os.listdir(folder)):
        shutil.copyfile(os.path.join(folder, file), os.path.join(out, file))
        made.append(file)
    return made


def make_seeds(out, work, legacy_tool):
    """Writes every seed into out; returns {file name: bytes}."""
    os.makedirs(out, exist_ok=True)
    os.makedirs(work, exist_ok=True)
    made = []
    made += _infozip_seeds(out, work)
    made += _python_seeds(out)
    made += _sevenzip_seeds(out, work)
    made += _legacy_seeds(out, work, legacy_tool)
    seeds = {}
    for file in made:
        with open(os.path.join(out, file), "rb") as f:
            seeds[file[:-4]] = f.read()
    return seeds


def make_split_sets(work):
    """The last parts of real three-part split sets made by Info-ZIP `zip -s`, entries in both orders,
    each once alone and once with its other parts beside it: [(id, last part, {".z01": bytes, ...})].
    A split part is never damage and never rewritten, whichever entry comes first."""
    if not shutil.which("zip"):
        return []
    tree = os.path.join(work, "split")
    os.makedirs(tree, exist_ok=True)
    # Sizes chosen so that in one order an entry starts on the first part at an offset beyond the
    # last part's length, and in the other the first entry starts on the first part at offset 0.
    files = {"a.bin": bytes(((i * i * 3 + i * 31) >> 3) & 0xFF for i in range(30000)),
             "b.bin": bytes(((i * i * 5 + i * 17) >> 2) & 0xFF for i in range(110000)),
             PURGE_NAME: text(300, 9)}
    for name, data in files.items():
        with open(os.path.join(tree, name), "wb") as f:
            f.write(data)
        os.utime(os.path.join(tree, name), (FIXED_TIME, FIXED_TIME))
    cases = []
    for order in (["a.bin", PURGE_NAME, "b.bin"], ["b.bin", PURGE_NAME, "a.bin"]):
        stem = "split-" + "".join(n[0] for n in order)
        for old in os.listdir(tree):
            if old.startswith(stem):
                os.unlink(os.path.join(tree, old))
        _run(["zip", "-q", "-X", "-0", "-s", "64k", stem + ".zip"] + order, tree)
        parts = {}
        for name in sorted(os.listdir(tree)):
            if name.startswith(stem + ".z") and not name.endswith(".zip"):
                with open(os.path.join(tree, name), "rb") as f:
                    parts[name[len(stem):]] = f.read()
        with open(os.path.join(tree, stem + ".zip"), "rb") as f:
            last = f.read()
        cases.append(("%s/last-part/alone" % stem, last, {}))
        cases.append(("%s/last-part/with-parts" % stem, last, parts))
    return cases


def _class_like(index):
    """Bytes shaped like a compiled class: a magic, a constant pool of names, some code; each different."""
    names = [b"java/lang/Object", b"java/lang/String", b"org/example/app/Widget%d" % index, b"<init>", b"()V",
             b"Code", b"LineNumberTable", b"SourceFile", b"Widget%d.java" % index]
    body = b"\xca\xfe\xba\xbe\x00\x00\x00\x34"
    for name in names:
        body += b"\x01" + len(name).to_bytes(2, "big") + name
    body += bytes(((i * 31 + index * 7) ^ (i >> 3)) & 0xFF for i in range(200 + (index * 37) % 900))
    return body


def make_large_seeds(out, work):
    """Larger archives for the second campaign, each holding purge-me.txt: a jar of many small classes
    (Python, over 64 KiB, the large partner of a concatenation) and many files written by Info-ZIP.
    Returns {name: bytes}."""
    os.makedirs(out, exist_ok=True)
    made = {}
    path = os.path.join(out, "jar-classes.zip")
    with zipfile.ZipFile(path, "w", compression=zipfile.ZIP_DEFLATED) as z:
        entries = [("META-INF/MANIFEST.MF", b"Manifest-Version: 1.0\r\nCreated-By: seeds.py\r\n\r\n")]
        entries += [("org/example/app/Widget%d.class" % i, _class_like(i)) for i in range(150)]
        entries.insert(40, (PURGE_NAME, text(300, 41)))
        for name, data in entries:
            info = zipfile.ZipInfo(name, date_time=(2010, 1, 1, 0, 0, 0))
            info.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(info, data)
    made["jar-classes"] = path
    if shutil.which("zip"):
        tree = os.path.join(work, "infozip-many")
        os.makedirs(tree, exist_ok=True)
        names = []
        for i in range(60):
            name = PURGE_NAME if i == 20 else "notes/part%02d.txt" % i
            full = os.path.join(tree, name)
            os.makedirs(os.path.dirname(full), exist_ok=True)
            with open(full, "wb") as f:
                f.write(text(1500 + i * 40, 300 + i) if i % 3 else
                        bytes(((j * 2654435761 + i * 97) >> 13) & 0xFF for j in range(2500)))
            os.utime(full, (FIXED_TIME, FIXED_TIME))
            names.append(name)
        path = os.path.join(out, "infozip-many.zip")
        if os.path.exists(path):
            os.unlink(path)
        _run(["zip", "-q", "-X", path] + names, tree)
        made["infozip-many"] = path
    result = {}
    for name, path in made.items():
        with open(path, "rb") as f:
            result[name] = f.read()
    return result
