"""The campaign's account: the allow-list, the summary tables, the disagreements file, one example
mutant per kind and the Markdown findings."""

import collections
import fnmatch
import os
import re
import time


class Row:
    def __init__(self, mid, opinions, consensus, result, kind, allowed):
        self.mid = mid
        self.opinions = opinions
        self.consensus = consensus
        self.result = result
        self.kind = kind
        self.allowed = allowed


def group_of(mid):
    """The mutation kind without the seed, entry numbers and the exact change:
    "python-zip64/central1/compressed-size/plus1" -> "central/compressed-size",
    "jar-classes/bit-flip/50pct" -> "bit-flip/*"."""
    parts = mid.split("/")[1:3]
    parts = [re.sub(r"^(central|local|data|between-entries)\d+$", r"\1", p) for p in parts]
    # Realistic damage: where it struck is no kind of its own.
    return "/".join(re.sub(r"^(\d+pct|block\d+)$", "*", p) for p in parts)


def opinion_text(opinions):
    short = {"ok": "ok", "bad": "bad", None: "-"}
    return " ".join("%s=%s" % (k, short.get(v, v)) for k, v in sorted(opinions.items()))


class AllowList:
    """Rows of `id pattern <TAB> our outcome <TAB> why`; the pattern is a shell glob over mutation ids,
    the outcome the disagreement kind it allows. Lines starting with # are comments."""

    def __init__(self, path):
        self.rows = []
        self.used = set()
        if not os.path.exists(path):
            return
        with open(path) as f:
            for number, line in enumerate(f, 1):
                line = line.rstrip("\n")
                if not line.strip() or line.startswith("#"):
                    continue
                fields = line.split("\t")
                if len(fields) < 3 or not fields[2].strip():
                    raise ValueError("%s:%d: want pattern, outcome and reason, tab-separated" % (path, number))
                self.rows.append((fields[0], fields[1], fields[2], line))

    def match(self, mid, kind):
        for index, (pattern, outcome, why, _) in enumerate(self.rows):
            if outcome == kind and fnmatch.fnmatchcase(mid, pattern):
                self.used.add(index)
                return why
        return None

    def unused(self):
        return [row[3] for index, row in enumerate(self.rows) if index not in self.used]


def summarize(rows, generated, runs):
    by_group = collections.OrderedDict()
    for row in sorted(rows, key=lambda r: group_of(r.mid)):
        g = by_group.setdefault(group_of(row.mid), collections.Counter())
        g["mutants"] += 1
        if row.consensus in ("ok", "bad", "split part"):
            g["judged"] += 1
            g["agree"] += 0 if row.kind else 1
        if row.kind:
            g["allowed" if row.allowed else "disagree"] += 1
    totals = collections.Counter()
    for g in by_group.values():
        totals.update(g)
    lines = ["", "Mutants generated %d, tested %d, program runs %d" % (generated, len(rows), runs),
             "judges' consensus: %s" % dict(collections.Counter(r.consensus or "no opinion" for r in rows)), ""]
    header = "%-34s %8s %8s %8s %9s %8s" % ("mutation kind", "mutants", "judged", "agree", "disagree", "allowed")
    lines += [header, "-" * len(header)]
    for name, g in by_group.items():
        lines.append("%-34s %8d %8d %8d %9d %8d" % (name, g["mutants"], g["judged"], g["agree"], g["disagree"],
                                                     g["allowed"]))
    lines.append("-" * len(header))
    lines.append("%-34s %8d %8d %8d %9d %8d" % ("total", totals["mutants"], totals["judged"], totals["agree"],
                                                 totals["disagree"], totals["allowed"]))
    kinds = collections.Counter((r.kind, bool(r.allowed)) for r in rows if r.kind)
    if kinds:
        lines += ["", "%-40s %8s %8s" % ("disagreement", "new", "allowed")]
        for kind in sorted({k for k, _ in kinds}):
            lines.append("%-40s %8d %8d" % (kind, kinds[(kind, False)], kinds[(kind, True)]))
    return "\n".join(lines)


def _example_name(row):
    return row.mid.replace("/", "_") + ".zip"


def examples_of(rows):
    """The first mutant of each (disagreement, mutation kind), allowed or not."""
    seen = collections.OrderedDict()
    for row in rows:
        if row.kind:
            seen.setdefault((row.kind, group_of(row.mid)), []).append(row)
    return seen


def write_examples(rows, folder):
    os.makedirs(folder, exist_ok=True)
    for name in os.listdir(folder):
        if name.endswith(".zip"):
            os.unlink(os.path.join(folder, name))
    for (kind, _), group in examples_of(rows).items():
        row = group[0]
        with open(os.path.join(folder, _example_name(row)), "wb") as f:
            f.write(row.result["original"])


def write_tsv(rows, path):
    with open(path, "w") as f:
        f.write("mutation\tdisagreement\tallowed because\tjudges\tverdict\tcode\n")
        for row in rows:
            if row.kind:
                f.write("%s\t%s\t%s\t%s\t%s\t%s\n" % (row.mid, row.kind, row.allowed or "", opinion_text(row.opinions),
                                                      row.result.get("verdict"), row.result.get("code")))


def write_findings(rows, path, label, summary, examples, binary):
    """Replaces this label's section of the findings file, so runs against several builds share it."""
    begin, end = "<!-- begin %s -->" % label, "<!-- end %s -->" % label
    lines = [begin, "## %s" % label, "",
             "Binary `%s`, run %s UTC." % (binary, time.strftime("%Y-%m-%d %H:%M", time.gmtime())), "",
             "```", summary.strip(), "```", "", "### Disagreements by kind", "",
             "| disagreement | mutation kind | count | allowed | example mutant | judges | our verdict/code |",
             "|---|---|---|---|---|---|---|"]
    for (kind, group), members in sorted(examples_of(rows).items()):
        row = members[0]
        allowed = sum(1 for m in members if m.allowed)
        where = os.path.join(examples, _example_name(row)) if examples else row.mid
        lines.append("| %s | %s | %d | %d | `%s` | %s | %s/%s |" % (
            kind, group, len(members), allowed, where, opinion_text(row.opinions), row.result.get("verdict"),
            row.result.get("code")))
    lines += ["", end]
    section = "\n".join(lines) + "\n"
    old = ""
    if os.path.exists(path):
        with open(path) as f:
            old = f.read()
    if begin in old and end in old:
        new = old[:old.index(begin)] + section.rstrip("\n") + old[old.index(end) + len(end):]
    else:
        if not old:
            old = "# Differential findings about the reader\n\n"
        new = old.rstrip("\n") + "\n\n" + section
    with open(path, "w") as f:
        f.write(new)
