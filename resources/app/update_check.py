"""Tells the overlay whether a newer version can be downloaded.

Prints one JSON object on standard output: {"available": <bool>, "url": <string, optional>}.
This build knows of no update channel, so it always answers no.
"""
import json
import sys


def main() -> int:
    json.dump({"available": False}, sys.stdout)
    sys.stdout.write("\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
