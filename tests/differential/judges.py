"""The judges: Info-ZIP unzip, 7-Zip and Python's zipfile, each answering "ok", "bad" or None (no
opinion: an unsupported method, a password asked for, a judge that ran past its timeout)."""

import io
import os
import shutil
import signal
import subprocess
import tempfile
import zipfile

# Changes whenever an opinion is read differently, so cached opinions of older rules are dropped.
RULES = 2
TIMEOUT = 10  # seconds; unzip 6.0 loops for ever on some damaged bzip2 streams
READ_LIMIT = 64 << 20  # bytes Python reads from one entry before it calls the entry readable


def missing():
    """The judges this machine lacks."""
    return [tool for tool in ("unzip", "7zz") if not shutil.which(tool)]


def unzip_judge(path):
    try:
        # -P '' answers any password prompt; stdin closed in case a build asks all the same.
        result = subprocess.run(["unzip", "-t", "-qq", "-P", "", path], stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        return None
    code = result.returncode
    if code in (0, 1):  # 1: warnings only, such as bytes in front of the ZIP data
        return "ok"
    if code in (81, 82):  # unsupported method or encryption; wrong password
        return None
    # Format errors, not a zipfile, no entries found, overlapping entries (Debian's build refuses
    # those as a possible zip bomb), unexpected end.
    if code in (2, 3, 9, 11, 12, 51):
        return "bad"
    return None


def sevenzip_judge(path):
    try:
        # -tzip: without it 7-Zip refuses ZIP data behind a shell stub. A wrong password is given so
        # an encrypted entry is an error about the password, not a prompt.
        result = subprocess.run(["7zz", "t", "-tzip", "-pX", "-bd", "-bso1", "-bse1", "-bsp0", path],
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        return None
    if result.returncode == 0:
        return "ok"
    if result.returncode != 2:
        return None
    text = result.stdout.decode("utf-8", "replace")
    unsure = ("Unsupported Method", "Wrong password")
    sure = ("Headers Error", "CRC Failed", "Data Error", "Unexpected end", "Can not open", "Is not archive",
            "There are some data after the end of the payload")
    if any(s in text for s in unsure) and not any(s in text for s in sure):
        return None
    return "bad"


class _Timeout(Exception):
    pass


def _alarm(signum, frame):
    raise _Timeout()


def python_judge(data):
    """Tests entry by entry: testzip() stops at the first entry it cannot decode, so an unsupported
    method in one entry would hide damage in the next."""
    old = signal.signal(signal.SIGALRM, _alarm)
    signal.alarm(TIMEOUT)
    try:
        return _python_judge(data)
    except _Timeout:
        return None
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, old)


def _python_judge(data):
    try:
        archive = zipfile.ZipFile(io.BytesIO(data))
    except NotImplementedError:
        return None
    except _Timeout:
        raise
    except Exception:  # BadZipFile, and whatever else a damaged directory makes zipfile raise
        return "bad"
    opinions = []
    for info in archive.infolist():
        try:
            with archive.open(info) as f:
                total = 0
                while total < READ_LIMIT:
                    chunk = f.read(1 << 20)
                    if not chunk:
                        break
                    total += len(chunk)
            opinions.append("ok")
        except NotImplementedError:
            opinions.append(None)
        except RuntimeError as e:
            opinions.append(None if "password" in str(e) or "encrypted" in str(e) else "bad")
        except _Timeout:
            raise
        except Exception:
            opinions.append("bad")
    if "bad" in opinions:
        return "bad"
    # An entry it cannot decode leaves the archive untested: ok only when every entry was read.
    return None if None in opinions else "ok"


def python_contents(data):
    """name -> bytes of every entry Python can read, or None when the archive does not open."""
    try:
        archive = zipfile.ZipFile(io.BytesIO(data))
    except Exception:
        return None
    out = {}
    for info in archive.infolist():
        try:
            out[info.filename] = (info.CRC, info.file_size, archive.read(info))
        except Exception:
            out[info.filename] = (info.CRC, info.file_size, None)
    return out


def judge_all(data, scratch):
    """{"unzip": ..., "7zz": ..., "python": ...} for one archive's bytes."""
    fd, path = tempfile.mkstemp(suffix=".zip", dir=scratch)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
        return {"unzip": unzip_judge(path), "7zz": sevenzip_judge(path), "python": python_judge(data)}
    finally:
        os.unlink(path)


def consensus(opinions):
    """"ok" or "bad" when every judge with an opinion agrees, "split" when they differ, None when none
    has an opinion."""
    said = {v for v in opinions.values() if v is not None}
    if not said:
        return None
    if len(said) > 1:
        return "split"
    return said.pop()
