#!/usr/bin/env python3
"""Reads a CTest JUnit file and prints the failed tests as one regular
expression alternative ("a|b"), when every one of them failed only because
LeakSanitizer's tracer crashed at exit. Exits 1, printing the others to stderr,
when any test failed for another reason."""
import re
import sys
import xml.etree.ElementTree as ElementTree

TRACER_CRASH = "Tracer caught signal"


def main(path):
    crashed, other = [], []
    for case in ElementTree.parse(path).getroot().iter("testcase"):
        if case.get("status") not in ("fail", "failed") and case.find("failure") is None:
            continue
        output = "".join(node.text or "" for node in case.iter() if node.tag in ("system-out", "failure"))
        (crashed if TRACER_CRASH in output else other).append(case.get("name"))
    if other:
        print("failed for a reason other than the tracer: " + ", ".join(other), file=sys.stderr)
        return 1
    print("|".join(re.escape(name) for name in crashed))
    return 0 if crashed else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
