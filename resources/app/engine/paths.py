"""Where the engine finds things: the resource directory it ships in and the per-user support directory.

The support directory must be the very one the panel reads the port file from, so it is found the same
way: the home directory, "Library/Application Support", and the full brand name from brand.py.
"""
import json
import os
import re
from typing import Any, Dict, Optional

APP_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_BRAND_NAME = "Crate Warden"
_BRAND_NAME = re.compile(r'BRAND_NAME", "([^"]+)')


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


def load_settings(support: str) -> Dict[str, Any]:
    """settings.json as the setup wrote it ({} when absent or unreadable). Keys used: "music_dir"
    (where the DJ's own music lives) and "source" (which source feeds the engine)."""
    try:
        with open(os.path.join(support, "settings.json"), encoding="utf-8") as f:
            data = json.load(f)
    except (OSError, ValueError):
        return {}
    return data if isinstance(data, dict) else {}


def write_atomically(path: str, text: str) -> None:
    """Readers see the old file or the new one, never a half-written one."""
    tmp = "%s.%d.tmp" % (path, os.getpid())
    try:
        with open(tmp, "w", encoding="utf-8") as f:
            f.write(text)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
