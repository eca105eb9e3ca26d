"""Entry of the pick engine: serves the pick feed for the panel at GET /json on 127.0.0.1.

`live_next.py --list-sources` instead prints the DJ software it finds, one JSON object per line, and
ends without binding a port or writing a file.

The work happens in the engine package beside this file (see engine/__init__.py); this stays a thin
entry so that the panel always finds the same script to start. Python standard library only.
"""
import os
import sys

# Nothing is written beside the scripts: an installed application folder is not ours to change.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from engine.main import run  # noqa: E402

if __name__ == "__main__":
    sys.exit(run(argv=sys.argv[1:]))
