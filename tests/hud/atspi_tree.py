#!/usr/bin/env python3
"""Prints, as JSON, what a screen reader finds of the applications on the
accessibility bus: for each accessible object its application, role, name
and states. Used by tst_HUDAccessible, which runs it while a card is up."""
import json
import sys

import pyatspi


def walk(obj, app, depth, out):
    if obj is None or depth > 12:
        return
    try:
        out.append({
            "app": app,
            "role": obj.getRoleName(),
            "name": obj.name,
            "states": sorted(pyatspi.stateToString(s) for s in obj.getState().getStates()),
        })
        for i in range(obj.childCount):
            walk(obj.getChildAtIndex(i), app, depth + 1, out)
    except Exception as error:  # an object that went while we read it
        print(f"atspi_tree: {error}", file=sys.stderr)


def main():
    out = []
    desktop = pyatspi.Registry.getDesktop(0)
    for i in range(desktop.childCount):
        app = desktop.getChildAtIndex(i)
        if app is not None:
            walk(app, app.name, 0, out)
    json.dump(out, sys.stdout)
    return 0


if __name__ == "__main__":
    sys.exit(main())
