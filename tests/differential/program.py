"""Runs the real program, unattended, on folders of many mutants at once and reads what it did.

The program is copied into a program folder of its own with a purge.txt naming purge-me.txt: a
writable program folder is where it takes its purge list and temp folder from, so a run touches
nothing else. A batch that crashes or runs past its timeout is split in halves until the mutant that
does it is named.
"""

import json
import os
import shutil
import subprocess

PURGE_LIST = "purge-me.txt\n"


class Program:
    def __init__(self, binary, work, base_seconds=30, seconds_per_archive=0.5, salvage=False):
        self.folder = os.path.join(work, "program")
        shutil.rmtree(self.folder, ignore_errors=True)
        os.makedirs(self.folder)
        self.binary = os.path.join(self.folder, "tamsorel")
        shutil.copy2(binary, self.binary)
        with open(os.path.join(self.folder, "purge.txt"), "w") as f:
            f.write(PURGE_LIST)
        self.work = work
        self.runs = 0
        # A run may take this long before it counts as a hang: generous, since a sanitized build on a
        # busy machine is slow, and a hang costs only the halvings that name it.
        self.base_seconds = base_seconds
        self.seconds_per_archive = seconds_per_archive
        # With salvage, each damaged archive also gets its NAME.salvaged.zip, kept in the result.
        self.salvage = salvage

    def _run(self, folder, count):
        report = os.path.join(self.work, "report.jsonl")
        if os.path.exists(report):
            os.unlink(report)
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
        # A sanitizer's report must not pass for the program's own "aborted" status 1.
        for name, code in (("ASAN_OPTIONS", 86), ("UBSAN_OPTIONS", 87)):
            env[name] = ":".join(filter(None, [env.get(name), "exitcode=%d" % code]))
        self.runs += 1
        try:
            options = ["--salvage"] if self.salvage else []
            result = subprocess.run([self.binary, "--report", report] + options + [folder], stdin=subprocess.DEVNULL,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env,
                                    timeout=self.base_seconds + self.seconds_per_archive * count)
        except subprocess.TimeoutExpired:
            return "hang", None, ""
        rows = {}
        if os.path.exists(report):
            with open(report) as f:
                for line in f:
                    row = json.loads(line)
                    if "name" in row:
                        rows[row["name"]] = row
        stderr = result.stderr.decode("utf-8", "replace")
        # 3 is a run that ended and found damage, as mutants often are.
        if result.returncode not in (0, 1, 3) or "runtime error:" in stderr:
            return "crash", rows, stderr
        return "ok", rows, stderr

    def judge_batch(self, items):
        """items: [(key, bytes)] or [(key, bytes, {".z01": bytes, ...})] for the last part of a split set
        with its other parts beside it. Returns {key: result}, a result being a dict with the report's verdict
        and code, whether the file was renamed, and the bytes left under its own name; or
        {"failure": "crash" | "hang"} for a mutant that by itself crashes or hangs the program."""
        folder = os.path.join(self.work, "batch")
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        names = {}
        for n, item in enumerate(items):
            key, data = item[0], item[1]
            name = "m%05d.zip" % n
            names[name] = (key, item[2] if len(item) > 2 else {})
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
            # The other parts of a split set, beside it under its name: m00001.z01, ...
            for suffix, part in names[name][1].items():
                with open(os.path.join(folder, name[:-4] + suffix), "wb") as f:
                    f.write(part)
        status, rows, stderr = self._run(folder, len(items))
        if status != "ok":
            if len(items) == 1:
                return {items[0][0]: {"failure": status, "stderr": stderr[-2000:]}}
            half = len(items) // 2
            out = self.judge_batch(items[:half])
            out.update(self.judge_batch(items[half:]))
            return out
        out = {}
        for name, (key, parts) in names.items():
            path = os.path.join(folder, name)
            row = rows.get(name)
            result = {
                "verdict": row["verdict"] if row else None,
                "code": row["code"] if row else None,
                "renamed": os.path.exists(path + ".bad"),
                "bytes": None,
                "parts_intact": all(_read(os.path.join(folder, name[:-4] + suffix)) == part
                                    for suffix, part in parts.items()),
            }
            if os.path.exists(path):
                with open(path, "rb") as f:
                    result["bytes"] = f.read()
            if self.salvage:
                result["salvaged"] = _read(path[:-4] + ".salvaged.zip")
            out[key] = result
        shutil.rmtree(folder, ignore_errors=True)
        return out


def _read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None
