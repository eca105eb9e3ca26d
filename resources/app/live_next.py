"""Entry of the pick engine: serves the pick feed for the panel at GET /json on 127.0.0.1.

The work happens in the engine package beside this file (see engine/__init__.py); this stays a thin
entry so that the panel always finds the same script to start. Python standard library only.
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from engine.main import run  # noqa: E402

if __name__ == "__main__":
    sys.exit(run())
