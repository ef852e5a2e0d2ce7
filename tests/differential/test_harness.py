"""Checks of the campaign's own parts that need no archiver: the mutants change what their ids say
and nothing else, adjusted insertions keep archives whole, and the judges' rules hold."""

import io
import os
import struct
import sys
import unittest
import warnings
import zipfile

sys.dont_write_bytecode = True  # nothing is written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import campaign  # noqa: E402
import damage  # noqa: E402
import judges  # noqa: E402
import layout  # noqa: E402
import mutants  # noqa: E402
import salvage_score  # noqa: E402
import seeds  # noqa: E402


def python_seed(zip64=False, streamed=False):
    sink = io.BytesIO()
    with zipfile.ZipFile(sink, "w", compression=zipfile.ZIP_DEFLATED) as z:
        for name, data in seeds._entries(7):
            info = zipfile.ZipInfo(name, date_time=(2010, 1, 1, 0, 0, 0))
            info.compress_type = zipfile.ZIP_DEFLATED
            with z.open(info, "w", force_zip64=zip64) as w:
                w.write(data)
    data = sink.getvalue()
    if streamed:
        # The descriptor flag in both headers, as a streaming writer sets it, with the descriptor added.
        L = layout.Layout(data)
        out = data
        for c, loc in reversed(list(zip(L.central, L.local))):
            crc, csize, size = struct.unpack_from("<III", data, c.pos + 16)
            blob = struct.pack("<4sIII", b"PK\x07\x08", crc, csize, size)
            out = layout.insert_adjusted(layout.Layout(out), loc.data_end, blob)
        data = bytearray(out)
        L = layout.Layout(bytes(data))
        for c, loc in zip(L.central, L.local):
            layout.put(data, c.pos + 8, 2, c.flags | 8)
            layout.put(data, loc.pos + 6, 2, loc.flags | 8)
        data = bytes(data)
    return data


def read_all(data):
    with zipfile.ZipFile(io.BytesIO(data)) as z:
        return {i.filename: z.read(i) for i in z.infolist()}


SEEDS = {"plain": python_seed(), "zip64": python_seed(zip64=True), "streamed": python_seed(streamed=True)}


class Mutants(unittest.TestCase):
    def test_ids_unique_and_repeatable(self):
        for name, data in SEEDS.items():
            with self.subTest(seed=name):
                first = list(mutants.mutants(name, data))
                ids = [m for m, _ in first]
                self.assertEqual(len(ids), len(set(ids)))
                self.assertEqual(first, list(mutants.mutants(name, data)))
                self.assertGreater(len(ids), 300)

    def test_field_mutants_change_only_their_field(self):
        records = {"end": (layout.EOCD_FIELDS, lambda L, i: L.eocd),
                   "central": (layout.CENTRAL_FIELDS, lambda L, i: L.central[i].pos),
                   "local": (layout.LOCAL_FIELDS, lambda L, i: L.local[i].pos)}
        for name, data in SEEDS.items():
            L = layout.Layout(data)
            for mid, out in mutants.mutants(name, data):
                parts = mid.split("/")
                record = parts[1].rstrip("0123456789")
                if record not in records or len(parts) != 4:
                    continue
                fields, base = records[record]
                if parts[2] not in [f[0] for f in fields]:
                    continue  # the name, or a zip64 field added or duplicated
                index = int(parts[1][len(record):] or 0)
                _, offset, width, _ = next(f for f in fields if f[0] == parts[2])
                start = base(L, index) + offset
                with self.subTest(mutant=mid):
                    self.assertEqual(len(out), len(data))
                    changed = [i for i in range(len(data)) if data[i] != out[i]]
                    self.assertTrue(changed)
                    self.assertTrue(all(start <= i < start + width for i in changed))

    def test_adjusted_changes_keep_the_archive_readable(self):
        # Python takes sizes from the central directory, so a local zip64 field of any size and a
        # duplicate of it only move data; every offset must have moved along with it.
        kept = ("/inserted-adjusted/before-first-entry/", "/inserted-adjusted/between-entries",
                "/inserted-adjusted/before-directory/", "/zip64/added-same", "/zip64/added-twice",
                "local0/zip64/duplicated", "local3/zip64/duplicated")
        for name, data in SEEDS.items():
            expected = read_all(data)
            for mid, out in mutants.mutants(name, data):
                if any(k in mid for k in kept):
                    with self.subTest(mutant=mid):
                        self.assertNotEqual(out, data)
                        self.assertEqual(read_all(out), expected)

    def test_raw_insertions_move_bytes_not_offsets(self):
        data = SEEDS["plain"]
        L = layout.Layout(data)
        out = dict(mutants.mutants("s", data))["s/inserted/before-directory/16"]
        self.assertEqual(len(out), len(data) + 16)
        self.assertEqual(out[:L.directory], data[:L.directory])
        self.assertEqual(layout.u32(out, len(out) - 22 + 16), layout.u32(data, L.eocd + 16))


def damaged_files(name="plain"):
    data = SEEDS[name]
    other = SEEDS["streamed"]
    return data, {mid: (out, originals) for mid, out, originals in
                  damage.damaged(name, data, other, SEEDS["zip64"], damage.junk_text())}


class Damage(unittest.TestCase):
    def test_ids_unique_and_repeatable(self):
        data, files = damaged_files()
        again = list(damage.damaged("plain", data, SEEDS["streamed"], SEEDS["zip64"], damage.junk_text()))
        self.assertEqual(len(again), len(files))
        self.assertEqual({m: o for m, o, _ in again}, {m: f[0] for m, f in files.items()})
        self.assertGreater(len(files), 30)

    def test_each_kind_does_what_its_id_says(self):
        data, files = damaged_files()
        checks = {
            "text-mode/lf-to-crlf": lambda out: len(out) == len(data) + data.count(b"\n") and
            all(out[i - 1] == 13 for i in range(1, len(out)) if out[i] == 10),
            "seven-bit/high-bit-cleared": lambda out: len(out) == len(data) and max(out) < 0x80,
            "xmodem/padded": lambda out: len(out) % 128 == 0 and out.startswith(data) and
            set(out[len(data):]) == {0x1a},
            "concatenated/small-behind": lambda out: out == data + SEEDS["streamed"],
            "truncated-download/50pct": lambda out: out == data[:len(data) // 2],
            "junk-in-front/16": lambda out: out.endswith(data) and len(out) == len(data) + 16,
        }
        for suffix, check in checks.items():
            with self.subTest(suffix):
                self.assertTrue(check(files["plain/" + suffix][0]))
        for mid, (out, _) in files.items():
            kind = mid.split("/")[1]
            if kind.startswith("zeroed-"):
                with self.subTest(mid):
                    size = 4096 if kind == "zeroed-4k" else 512
                    start = int(mid.split("block")[1]) * size
                    changed = [i for i in range(len(data)) if data[i] != out[i]]
                    self.assertEqual(len(out), len(data))
                    self.assertTrue(all(start <= i < start + size and out[i] == 0 for i in changed))
            elif kind == "bit-flip":
                with self.subTest(mid):
                    diff = [bin(a ^ b).count("1") for a, b in zip(data, out)]
                    self.assertEqual((len(out), sum(diff)), (len(data), 1))
            elif kind in ("lost-chunk", "repeated-chunk"):
                with self.subTest(mid):
                    self.assertEqual(len(out), len(data) + (512 if kind == "repeated-chunk" else -512))


class SalvageScore(unittest.TestCase):
    def test_copies_are_scored_by_name_and_bytes(self):
        data = SEEDS["plain"]
        names = list(read_all(data))
        renamed = data.replace(b"one.txt", b"one.tx_")  # both headers of one entry renamed
        doubled = io.BytesIO()
        with zipfile.ZipFile(io.BytesIO(data)) as source, zipfile.ZipFile(doubled, "w") as z, \
                warnings.catch_warnings():
            warnings.simplefilter("ignore")  # the same name twice is the point
            for info in source.infolist() + source.infolist()[:1]:
                z.writestr(info, source.read(info))
        rows = {
            "the original itself": (data, (len(names), 0, 0, len(names), len(names))),
            "no copy": (None, (0, 0, 0, len(names), 0)),
            "one entry misnamed": (renamed, (len(names) - 1, 1, 0, len(names), len(names) - 1)),
            "one entry twice": (doubled.getvalue(), (len(names), 0, 1, len(names), len(names))),
        }
        for name, (copy, expected) in rows.items():
            with self.subTest(name):
                self.assertEqual(tuple(salvage_score.score(data, [data], copy)), expected)

    def test_intact_counts_only_unchanged_entries(self):
        data = bytearray(SEEDS["plain"])
        L = layout.Layout(bytes(data))
        data[L.local[1].data + 2] ^= 0x10
        self.assertEqual(salvage_score.score(bytes(data), [SEEDS["plain"]], None).intact, len(L.local) - 1)


class Judges(unittest.TestCase):
    def test_consensus(self):
        rows = {
            "all ok": ({"unzip": "ok", "7zz": "ok", "python": "ok"}, "ok"),
            "one opinion": ({"unzip": None, "7zz": "bad", "python": None}, "bad"),
            "two against one": ({"unzip": "ok", "7zz": "bad", "python": "ok"}, "split"),
            "no opinion": ({"unzip": None, "7zz": None, "python": None}, None),
        }
        for name, (opinions, expected) in rows.items():
            with self.subTest(name):
                self.assertEqual(judges.consensus(opinions), expected)

    def test_python_tests_past_an_unsupported_entry(self):
        data = bytearray(SEEDS["plain"])
        L = layout.Layout(bytes(data))
        rows = {"unsupported first, the rest sound": (False, None),
                "unsupported first, a later entry damaged": (True, "bad")}
        for name, (damage, expected) in rows.items():
            out = bytearray(data)
            for at in (L.central[0].pos + 10, L.local[0].pos + 8):
                layout.put(out, at, 2, 99)
            if damage:
                out[L.local[2].data + 3] ^= 0x55
            with self.subTest(name):
                self.assertEqual(judges.python_judge(bytes(out)), expected)


FAKE_PROGRAM = """#!/usr/bin/env python3
# Stands in for the program: reports every archive clean, but crashes on one holding CRASH and hangs
# on one holding HANG, anywhere in the folder.
import json, os, signal, sys, time
report, folder = sys.argv[2], sys.argv[3]
names = sorted(n for n in os.listdir(folder) if n.endswith(".zip"))
blobs = [open(os.path.join(folder, n), "rb").read() for n in names]
if any(b"HANG" in b for b in blobs):
    time.sleep(60)
if any(b"CRASH" in b for b in blobs):
    os.kill(os.getpid(), signal.SIGSEGV)
with open(report, "w") as f:
    for n in names:
        f.write(json.dumps({"name": n, "verdict": "clean", "code": 0}) + "\\n")
"""


class Batches(unittest.TestCase):
    def test_a_crash_or_hang_is_named_by_halving(self):
        import tempfile
        from program import Program
        with tempfile.TemporaryDirectory() as work:
            fake = os.path.join(work, "fake")
            with open(fake, "w") as f:
                f.write(FAKE_PROGRAM)
            os.chmod(fake, 0o755)
            program = Program(fake, os.path.join(work, "run"), base_seconds=3, seconds_per_archive=0)
            items = [("m%d" % i, b"PK sound %d" % i) for i in range(9)]
            items[2] = ("crashes", b"PK CRASH")
            items[6] = ("hangs", b"PK HANG")
            results = program.judge_batch(items)
            self.assertEqual(results["crashes"]["failure"], "crash")
            self.assertEqual(results["hangs"]["failure"], "hang")
            for key, _ in items:
                if key not in ("crashes", "hangs"):
                    with self.subTest(key):
                        self.assertEqual(results[key]["verdict"], "clean")
                        self.assertFalse(results[key]["renamed"])


class Sample(unittest.TestCase):
    def test_sample_is_stable_and_order_free(self):
        items = [("seed/record%d/field/change" % i, b"") for i in range(400)]
        chosen = campaign.sample_of(items, 50)
        self.assertEqual(len(chosen), 50)
        self.assertEqual({m for m, _ in chosen}, {m for m, _ in campaign.sample_of(items[::-1], 50)})


if __name__ == "__main__":
    unittest.main()
