#!/usr/bin/env python3
"""Adds up the JSON Lines reports of the shards of one run into one summary object on stdout.

    merge-reports.py shard-*.jsonl

The counts are summed; "status" is the weightiest of the shards' (2, then 1, then 3, then 0); "damaged_archives"
lists every archive found damaged. It checks that the reports are the shards 0 to N-1 of one N, each once, that
they agree on how many folders there are, and that no folder was cleaned by two shards; what does not hold is
listed in "problems" and makes the exit status 1.
"""
import json
import sys

COUNTS = ("archives", "processed", "clean", "purged", "repaired", "damaged", "skipped", "entries_removed")
WEIGHT = {2: 4, 1: 3, 3: 2, 0: 1}


def main(paths):
    total = {key: 0 for key in COUNTS}
    status, problems, damaged, folders, shards, counts, totals = 0, [], [], {}, set(), set(), set()
    for path in paths:
        summary = None
        with open(path, encoding="utf-8") as report:
            for line in report:
                if not line.strip():
                    continue
                record = json.loads(line)
                if record.get("summary"):
                    summary = record
                elif record.get("verdict") == "damaged":
                    damaged.append(record["folder"] + "/" + record["name"])
        if summary is None:
            problems.append(f"{path}: no summary object (the shard did not end)")
            continue
        for key in COUNTS:
            total[key] += summary.get(key, 0)
        if WEIGHT.get(summary["status"], 5) > WEIGHT.get(status, 5):
            status = summary["status"]
        shards.add(summary.get("shard_index"))
        counts.add(summary.get("shard_count"))
        totals.add(summary.get("folders_total"))
        for folder in summary.get("folders", []):
            if folder in folders:
                problems.append(f"{folder}: cleaned by {folders[folder]} and {path}")
            folders[folder] = path
    if len(counts) != 1 or None in counts:
        problems.append(f"the reports are not shards of one run: shard counts {sorted(map(str, counts))}")
    elif shards != set(range(next(iter(counts)))):
        problems.append(f"shards present {sorted(map(str, shards))} of {next(iter(counts))}")
    if len(totals) > 1:
        problems.append(f"the shards saw different trees: folder totals {sorted(map(str, totals))}")
    total.update(status=status, shards=len(paths), folders=len(folders),
                 damaged_archives=sorted(damaged), problems=problems)
    json.dump(total, sys.stdout, indent=1)
    print()
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
