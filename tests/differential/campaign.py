#!/usr/bin/env python3
"""The differential campaign: one-change mutants of archives made by real writers, judged by unzip,
7-Zip and Python, and cleaned by the real program. Where every judge with an opinion agrees, the
program must agree; a disagreement not in allow-list.tsv fails the run, and so does any crash or hang.

    campaign.py --tamsorel build/tamsorel --legacy-tool build/tests/differential/make_legacy_seeds
                [--sample 1500] [--damage-sample 150] [--campaign mutants|damage|both]
                [--work DIR] [--examples DIR] [--findings FILE --label TEXT]

The second campaign (damage.py) applies realistic damage to the seeds and to larger archives, judges the
files the same way, and also scores the copies the program salvages against the undamaged originals.

Exit status: 0 no new disagreement, 1 new disagreements (listed), 77 a judge is missing (skip).
"""

import argparse
import hashlib
import json
import multiprocessing
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # nothing is written into the source tree
sys.path.insert(0, HERE)

import damage  # noqa: E402
import judges  # noqa: E402
import mutants  # noqa: E402
import report  # noqa: E402
import salvage_score  # noqa: E402
import seeds  # noqa: E402
from program import Program  # noqa: E402

SKIP = 77


def digest(data):
    return hashlib.sha1(data).hexdigest()


def judge_versions():
    def first_line(cmd):
        try:
            out = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=20).stdout
            return out.decode("utf-8", "replace").strip().splitlines()[0] if out.strip() else ""
        except Exception:
            return ""
    return "rules %d | %s | %s | python %s" % (judges.RULES, first_line(["unzip", "-v"]), first_line(["7zz", "i"]) or "7zz",
                                    sys.version.split()[0])


class JudgeCache:
    """Opinions by archive digest, kept between runs: the judges do not change with the program."""

    def __init__(self, path):
        self.path = path
        self.version = judge_versions()
        self.entries = {}
        try:
            with open(path) as f:
                stored = json.load(f)
            if stored.get("version") == self.version:
                self.entries = stored["opinions"]
        except (OSError, ValueError, KeyError):
            pass

    def save(self):
        tmp = self.path + ".tmp"
        with open(tmp, "w") as f:
            json.dump({"version": self.version, "opinions": self.entries}, f)
        os.replace(tmp, self.path)


_scratch = None


def _init_worker(scratch):
    global _scratch
    _scratch = scratch


def _judge_one(item):
    key, data = item
    return key, judges.judge_all(data, _scratch)


def judge_many(blobs, cache, jobs, scratch):
    """blobs: {digest: bytes}. Returns {digest: opinions}, judging only what the cache lacks."""
    todo = [(k, v) for k, v in blobs.items() if k not in cache.entries]
    if todo:
        with multiprocessing.Pool(jobs, initializer=_init_worker, initargs=(scratch,)) as pool:
            for key, opinions in pool.imap_unordered(_judge_one, todo, chunksize=8):
                cache.entries[key] = opinions
        cache.save()
    return {k: cache.entries[k] for k in blobs}


def sample_of(all_mutants, size):
    """A fixed sample: the mutants whose ids hash lowest, so it changes only as the ids do."""
    if not size or size >= len(all_mutants):
        return all_mutants
    ranked = sorted(all_mutants, key=lambda m: hashlib.sha1(m[0].encode()).digest())
    chosen = {m[0] for m in ranked[:size]}
    return [m for m in all_mutants if m[0] in chosen]


def expected_purge(contents):
    return contents is not None and any(name.lower() == seeds.PURGE_NAME for name in contents)


def classify(mid, consensus, result, original_contents, purged_opinions, purged_contents):
    """The disagreement class of one mutant, or None when the program agrees with the judges."""
    if "failure" in result:
        return result["failure"]  # crash or hang: always a fault
    verdict, renamed = result["verdict"], result["renamed"]
    if verdict is None:
        return "no-report-line"
    if consensus == "bad":
        if renamed:
            return None
        if verdict == "skipped" and result["code"] == 7:
            return "damaged-skipped-as-split-part"
        return "damaged-reported-%s" % verdict
    # The judges read it: kept, purged as asked, every other entry unchanged, and still readable.
    if renamed:
        return "valid-quarantined"
    if verdict == "skipped":
        return "valid-skipped-as-split-part" if result["code"] == 7 else "valid-skipped"
    if result["bytes"] is None:
        return "valid-lost"
    if expected_purge(original_contents) and verdict != "purged":
        return "valid-not-purged"
    if verdict == "clean":
        return None if result["original"] == result["bytes"] else "valid-changed-while-clean"
    if verdict != "purged":
        return "valid-%s" % verdict
    if judges.consensus(purged_opinions) not in ("ok", None):
        return "purge-left-unreadable-archive"
    if original_contents is None or purged_contents is None:
        return None  # Python reads neither side (a version or method it lacks): the judges' test stands
    for name, (crc, size, data) in original_contents.items():
        if name.lower() == seeds.PURGE_NAME:
            if name in purged_contents:
                return "purge-left-entry"
            continue
        after = purged_contents.get(name)
        if after is None or after[0] != crc or after[1] != size or (data is not None and after[2] != data):
            return "purge-changed-other-entry"
    return None


def phase(text, started=[time.monotonic()]):
    print("differential: %-40s %6.1f s" % (text, time.monotonic() - started[0]), file=sys.stderr, flush=True)


def split_outcome(result):
    """A split part, alone or with its parts beside it: skipped (code 7), not renamed, nothing changed."""
    if "failure" in result:
        return result["failure"]
    if result["renamed"]:
        return "split-part-quarantined"
    if result["bytes"] != result["original"] or not result["parts_intact"]:
        return "split-part-changed"
    if result["verdict"] != "skipped" or result["code"] != 7:
        return "split-part-reported-%s" % result["verdict"]
    return None


def judged_rows(chosen, results, opinions, purged_opinions, allow):
    """One report row per item (id, bytes, ...), its disagreement classified against the judges."""
    rows = []
    for item in chosen:
        mid, data = item[0], item[1]
        r = results[mid]
        ops = opinions[digest(data)]
        consensus = judges.consensus(ops)
        kind = None
        if consensus in ("ok", "bad") or "failure" in r:
            original_contents = judges.python_contents(data) if consensus == "ok" else None
            after = r.get("bytes")
            after_ops = purged_opinions.get(digest(after)) if after is not None else None
            after_contents = judges.python_contents(after) if after is not None and r.get("verdict") == "purged" \
                else None
            kind = classify(mid, consensus, r, original_contents, after_ops, after_contents)
        allowed = allow.match(mid, kind) if kind else None
        rows.append(report.Row(mid, ops, consensus, r, kind, allowed))
    return rows


def run_program(program, chosen, batch):
    results = {}
    for start in range(0, len(chosen), batch):
        results.update(program.judge_batch([item[:2] for item in chosen[start:start + batch]]))
    for item in chosen:
        results[item[0]]["original"] = item[1]
    return results


def judge_purged(chosen, results, cache, jobs, scratch):
    purged = {}
    for item in chosen:
        r = results[item[0]]
        if r.get("verdict") == "purged" and r.get("bytes") is not None:
            purged.setdefault(digest(r["bytes"]), r["bytes"])
    return judge_many(purged, cache, jobs, scratch), len(purged)


def damage_campaign(args, seed_bytes, seed_opinions, cache, scratch, allow):
    """The second campaign: realistic damage of every seed and of larger archives, judged as the mutants
    are, and each salvaged copy scored. Returns (rows, summary text, the files whose copy holds a wrong entry)."""
    large = seeds.make_large_seeds(os.path.join(args.work, "seeds"), os.path.join(args.work, "seed-work"))
    seed_opinions = dict(seed_opinions)
    seed_opinions.update(judge_many({digest(b): b for b in large.values()}, cache, args.jobs, scratch))
    pool = dict(seed_bytes)
    pool.update(large)
    junk = damage.junk_text()
    items = []
    for name in sorted(pool):
        data = pool[name]
        if judges.consensus(seed_opinions[digest(data)]) not in ("ok", None):
            continue
        small = pool["infozip-plain" if name == "python-deflate" and "infozip-plain" in pool else "python-deflate"]
        items += [(mid, out, originals) for mid, out, originals in
                  damage.damaged(name, data, small, large["jar-classes"], junk) if out != data]
    chosen = sample_of(items, args.damage_sample)
    opinions = judge_many({digest(item[1]): item[1] for item in chosen}, cache, args.jobs, scratch)
    phase("damage: %d files of %d seeds, %d tested, judged" % (len(items), len(pool), len(chosen)))
    program = Program(args.tamsorel, os.path.join(args.work, "damage"), salvage=True)
    results = run_program(program, chosen, args.batch)
    purged_opinions, purged_count = judge_purged(chosen, results, cache, args.jobs, scratch)
    copies = {digest(r["salvaged"]): r["salvaged"] for r in results.values() if r.get("salvaged")}
    copy_opinions = judge_many(copies, cache, args.jobs, scratch)
    phase("damage: program ran %d times, %d purged, %d salvaged copies judged" %
          (program.runs, purged_count, len(copies)))
    rows = judged_rows(chosen, results, opinions, purged_opinions, allow)
    scores = []
    misnamed = []
    for mid, data, originals in chosen:
        if not results[mid].get("renamed"):
            continue  # kept as valid (or a crash, counted above): nothing to salvage
        copy = results[mid].get("salvaged")
        bad = copy is not None and "bad" in copy_opinions[digest(copy)].values()
        scored = salvage_score.score(data, originals, copy)
        scores.append((mid.split("/")[1], scored, copy is not None, bad))
        if scored.wrong:
            misnamed.append("%s (%d wrong)" % (mid, scored.wrong))
    text, _ = salvage_score.summarize(scores)
    return rows, report.summarize(rows, len(items), program.runs) + "\n" + text, misnamed


def mutant_campaign(args, seed_bytes, seed_opinions, cache, scratch, allow):
    """The first campaign: one-change mutants of every seed. Returns (rows, summary text)."""
    all_mutants = []
    for name in sorted(seed_bytes):
        data = seed_bytes[name]
        # A seed no judge can read (reduce: no judge decodes it) still gives mutants that must not crash
        # the program; a seed a judge refuses is the writer's fault or the judge's, and is left out.
        if judges.consensus(seed_opinions[digest(data)]) not in ("ok", None):
            print("differential: seed %s is refused by a judge (%s); left out" %
                  (name, seed_opinions[digest(data)]), file=sys.stderr)
            continue
        # The seed itself goes through the program too: it must be purged and stay readable.
        all_mutants.append(("%s/unchanged" % name, data))
        all_mutants += [(mid, out) for mid, out in mutants.mutants(name, data) if out != data]
    total_generated = len(all_mutants)
    chosen = sample_of(all_mutants, args.sample)
    blobs = {}
    for mid, data in chosen:
        blobs.setdefault(digest(data), data)
    phase("%d seeds, %d mutants, %d tested" % (len(seed_bytes), total_generated, len(chosen)))
    opinions = judge_many(blobs, cache, args.jobs, scratch)
    phase("mutants judged")

    # Every mutant goes through the program, judged or not: a crash or hang is a fault either way.
    program = Program(args.tamsorel, args.work)
    results = run_program(program, chosen, args.batch)
    splits = seeds.make_split_sets(os.path.join(args.work, "seed-work"))
    results.update(program.judge_batch(splits))
    phase("program ran %d times" % program.runs)

    # Purged results go back to the judges.
    purged_opinions, purged_count = judge_purged(chosen, results, cache, args.jobs, scratch)
    phase("%d purged archives judged" % purged_count)

    rows = []
    for mid, data, _ in splits:
        r = results[mid]
        r["original"] = data
        kind = split_outcome(r)
        rows.append(report.Row(mid, {}, "split part", r, kind, allow.match(mid, kind) if kind else None))
    rows += judged_rows(chosen, results, opinions, purged_opinions, allow)
    return rows, report.summarize(rows, total_generated, program.runs)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tamsorel", required=True, help="the program binary to test")
    parser.add_argument("--legacy-tool", help="make_legacy_seeds, for the shrink/reduce/implode seeds")
    parser.add_argument("--sample", type=int, default=0, help="test this many mutants (0: all)")
    parser.add_argument("--damage-sample", type=int, default=0, help="test this many damaged files (0: all)")
    parser.add_argument("--campaign", choices=("mutants", "damage", "both"), default="both")
    parser.add_argument("--work", default=os.path.join(tempfile.gettempdir(), "tamsorel-differential"))
    parser.add_argument("--allow-list", default=os.path.join(HERE, "allow-list.tsv"))
    parser.add_argument("--examples", help="copy one mutant of each disagreement kind here")
    parser.add_argument("--findings", help="write the disagreements by kind to this Markdown file")
    parser.add_argument("--label", default="", help="names the build in the findings")
    parser.add_argument("--batch", type=int, default=500, help="mutants per run of the program")
    parser.add_argument("--jobs", type=int, default=2)
    args = parser.parse_args()

    lacking = judges.missing()
    if lacking:
        print("differential: skipped, judge(s) missing: %s" % ", ".join(lacking))
        return SKIP
    if not os.access(args.tamsorel, os.X_OK):
        print("differential: no program at %s" % args.tamsorel, file=sys.stderr)
        return 2
    os.makedirs(args.work, exist_ok=True)
    scratch = os.path.join(args.work, "scratch")
    os.makedirs(scratch, exist_ok=True)

    seed_bytes = seeds.make_seeds(os.path.join(args.work, "seeds"), os.path.join(args.work, "seed-work"),
                                  args.legacy_tool)
    cache = JudgeCache(os.path.join(args.work, "judge-cache.json"))
    seed_opinions = judge_many({digest(b): b for b in seed_bytes.values()}, cache, args.jobs, scratch)
    allow = report.AllowList(args.allow_list)
    rows = []
    summaries = []
    if args.campaign in ("mutants", "both"):
        mutant_rows, summary = mutant_campaign(args, seed_bytes, seed_opinions, cache, scratch, allow)
        rows += mutant_rows
        summaries.append(summary)
    misnamed = []
    if args.campaign in ("damage", "both"):
        damage_rows, summary, misnamed = damage_campaign(args, seed_bytes, seed_opinions, cache, scratch, allow)
        rows += damage_rows
        summaries.append("Second campaign: realistic damage\n" + summary)
    summary = "\n\n".join(summaries)
    print(summary)
    new = [row for row in rows if row.kind and not row.allowed]
    if args.examples:
        report.write_examples(rows, args.examples)
    if args.findings:
        report.write_findings(rows, args.findings, args.label, summary, args.examples, args.tamsorel)
    report.write_tsv(rows, os.path.join(args.work, "disagreements.tsv"))
    shutil.rmtree(scratch, ignore_errors=True)
    if not args.sample and not args.damage_sample and args.campaign == "both":  # a sample leaves rows unused
        for line in allow.unused():
            print("allow-list row never used: %s" % line)
    if new:
        print("\n%d disagreement(s) not in the allow-list (all in %s):" %
              (len(new), os.path.join(args.work, "disagreements.tsv")))
        for row in new[:40]:
            print("  %-36s %s  judges %s" % (row.kind, row.mid, report.opinion_text(row.opinions)))
    if misnamed:
        print("\n%d salvaged cop%s an entry that matches no original entry of its name:" %
              (len(misnamed), "y holds" if len(misnamed) == 1 else "ies hold"))
        for line in misnamed[:40]:
            print("  " + line)
    return 1 if new or misnamed else 0


if __name__ == "__main__":
    sys.exit(main())
