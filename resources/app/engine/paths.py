"""Where the engine finds things, and how it reads and writes its own small files.

The support directory must be the very one the panel reads the port file from, so it is found the same
way: the home directory, "Library/Application Support", and the full brand name from brand.py.

Anything the engine reads may have been replaced by something else: a FIFO (an open that never returns),
a device (a read that never ends), a directory, a huge file. `open_regular` therefore opens without
blocking and accepts regular files only, for the engine's own files and every DJ program's file alike;
`read_small_file` also reads at most a cap. Files are written as `<name>.<pid>.tmp`
beside their target and renamed over it; `remove_stale_temporaries` clears what a killed writer left.
Everything here runs on the engine's main thread.
"""
import errno
import json
import os
import re
import stat
import sys
from typing import Any, BinaryIO, Dict, Iterable, List, Optional, Set

APP_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_BRAND_NAME = "Crate Warden"
_BRAND_NAME = re.compile(r'BRAND_NAME", "([^"]+)')
SETTINGS_LIMIT = 1 << 20  # the setup writes a few hundred bytes
_TEMPORARY = re.compile(r"(.+)\.([0-9]+)\.tmp\Z")
_said: Set[str] = set()


def say_once(message: str) -> None:
    """One line on stderr, the first time only: a file that stays broken is not reported on every read."""
    if message not in _said:
        _said.add(message)
        sys.stderr.write(message + "\n")


def brand_name(app_dir: str = APP_DIR) -> str:
    try:
        with open(os.path.join(app_dir, "brand.py"), encoding="utf-8") as f:
            match = _BRAND_NAME.search(f.read())
    except (OSError, UnicodeDecodeError):
        return DEFAULT_BRAND_NAME
    return match.group(1) if match else DEFAULT_BRAND_NAME


def support_dir(app_dir: str = APP_DIR, home: Optional[str] = None) -> str:
    home = home if home is not None else os.path.expanduser("~")
    return os.path.join(home, "Library", "Application Support", brand_name(app_dir))


class NotAFile(OSError):
    """Something other than a regular file where a file is read: a FIFO, a device, a directory..."""


def shown(text: str) -> str:
    """A path or name as a line on stderr shows it: escaped, quotes and all, when it holds a control
    character or a byte that is not UTF-8, so that it can neither break the line nor hide what it is."""
    return text if text.isprintable() else repr(text)


def _kind(mode: int) -> str:
    for test, name in ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISSOCK, "a socket"),
                       (stat.S_ISCHR, "a device"), (stat.S_ISBLK, "a device")):
        if test(mode):
            return name
    return "not a regular file"


def open_regular(path: str) -> BinaryIO:
    """The regular file at `path` (links followed), open for reading. FileNotFoundError when nothing is
    there; `NotAFile`, whose strerror says what is there instead, for anything but a regular file. Never
    blocks: a FIFO is opened without waiting for a writer and then refused, a device never read."""
    flags = os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_NOCTTY", 0) | getattr(os, "O_CLOEXEC", 0)
    fd = os.open(path, flags)
    try:
        mode = os.fstat(fd).st_mode
        if not stat.S_ISREG(mode):
            raise NotAFile(errno.EINVAL, _kind(mode), path)
        return os.fdopen(fd, "rb")
    except BaseException:
        os.close(fd)
        raise


def read_small_file(path: str, limit: int) -> bytes:
    """The bytes of the regular file at `path` (`open_regular`). FileNotFoundError when nothing is there;
    another OSError, whose strerror says why, for anything that is not a regular file of at most `limit`
    bytes."""
    with open_regular(path) as f:
        chunks: List[bytes] = []
        size = 0
        # The size is checked as read too: the file may grow between the fstat and the reads.
        while size <= limit:
            chunk = f.read(min(1 << 16, limit + 1 - size))
            if not chunk:
                break
            chunks.append(chunk)
            size += len(chunk)
        if size > limit or os.fstat(f.fileno()).st_size > limit:
            raise OSError(errno.EFBIG, "larger than %d bytes" % limit)
        return b"".join(chunks)


def read_json_object(path: str, limit: int) -> Dict[str, Any]:
    """The JSON object in the file at `path` (UTF-8, -16 or -32). FileNotFoundError when absent; ValueError
    or OSError with the reason otherwise."""
    try:
        data = json.loads(read_small_file(path, limit))
    except RecursionError:
        raise ValueError("nested too deeply") from None
    if not isinstance(data, dict):
        raise ValueError("not a JSON object")
    return data


def reason(error: Exception) -> str:
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return str(error) or type(error).__name__


def load_settings(support: str) -> Dict[str, Any]:
    """settings.json as the setup wrote it; {} when absent (said nothing) or unusable (said once). Keys
    used: "music_dir" (where the DJ's own music lives) and "source" (which source feeds the engine)."""
    path = os.path.join(support, "settings.json")
    try:
        return read_json_object(path, SETTINGS_LIMIT)
    except FileNotFoundError:
        return {}
    except (OSError, ValueError) as error:
        say_once("%s: %s; running with no settings" % (path, reason(error)))
        return {}


def temporary_name(path: str) -> str:
    return "%s.%d.tmp" % (path, os.getpid())


def _unlink_quietly(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass


def write_atomically(path: str, text: str, mode: Optional[int] = None) -> None:
    """Readers see the old file or the new one, never a half-written one. With `mode`, the new file has
    exactly that mode, whatever the umask and whatever mode an old file had."""
    tmp = temporary_name(path)
    try:
        _unlink_quietly(tmp)  # left by an earlier process that had the same pid
        fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0),
                     0o600 if mode is not None else 0o666)
        with open(fd, "w", encoding="utf-8") as f:
            if mode is not None:
                os.fchmod(fd, mode)
            f.write(text)
            f.flush()
            os.fsync(fd)
        os.replace(tmp, path)
    except BaseException:
        _unlink_quietly(tmp)
        raise


def _still_writing(pid: int) -> bool:
    """Whether another live process has this pid, so that its temporary file may be in use."""
    if pid == os.getpid():
        return False
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except (OSError, OverflowError):
        return True  # alive but not ours to signal, or not a pid at all: leave its file alone
    return True


def remove_stale_temporaries(directory: str, names: Iterable[str]) -> List[str]:
    """Removes the `<name>.<pid>.tmp` files in `directory` that `write_atomically` (or a writer following
    its pattern) left when killed: only for the given names, and only where no process with that pid
    lives any more. Returns the names removed."""
    wanted = set(names)
    try:
        entries = os.listdir(directory)
    except OSError:
        return []
    removed = []
    for entry in entries:
        match = _TEMPORARY.match(entry)
        if match and match.group(1) in wanted and not _still_writing(int(match.group(2))):
            try:
                os.unlink(os.path.join(directory, entry))
                removed.append(entry)
            except OSError:
                pass
    return removed
