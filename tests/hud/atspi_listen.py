#!/usr/bin/env python3
"""Listens on the accessibility bus the way a screen reader does and prints,
one JSON object a line, what it learns of each event of the application
named on the command line: the event's type and detail, and the role, name
and states of the object it comes from (and, for children-changed, of the
child). Like a screen reader it also keeps the application's windows in
view: it looks at them when it starts and after each event.

Everything is read through libatspi's cache, which only events keep up to
date: an object read once keeps what was read until an event says that it
changed. Used by tst_HUDAccessible; prints "ready" once its listeners are
registered, and runs until it is terminated."""
import json
import sys

import pyatspi

# What a screen reader listens to for windows, notifications and their names.
EVENTS = [
    "object:state-changed",
    "object:children-changed",
    "object:property-change",
    "window:create",
    "window:activate",
]


def describe(obj):
    if obj is None:
        return None
    return {
        "role": obj.getRoleName(),
        "name": obj.name,
        "states": sorted(pyatspi.stateToString(s) for s in obj.getState().getStates()),
    }


def application_name(event):
    try:
        app = event.host_application
        if app is not None:
            return app.name
        return event.source.getApplication().name
    except Exception:  # the application went while we asked
        return None


def look_at_windows(app):
    for i in range(app.childCount):
        describe(app.getChildAtIndex(i))


def main():
    wanted = sys.argv[1]
    desktop = pyatspi.Registry.getDesktop(0)
    for i in range(desktop.childCount):
        app = desktop.getChildAtIndex(i)
        if app is not None and app.name == wanted:
            look_at_windows(app)

    def on_event(event):
        try:
            if application_name(event) != wanted:
                return
            line = {
                "type": event.type,
                "detail1": event.detail1,
                "source": describe(event.source),
            }
            if event.type.startswith("object:children-changed") and isinstance(event.any_data, pyatspi.Accessible):
                line["child"] = describe(event.any_data)
            look_at_windows(event.host_application or event.source.getApplication())
        except Exception as error:  # an object that went while we read it
            line = {"type": event.type, "error": str(error)}
        print(json.dumps(line), flush=True)

    pyatspi.Registry.registerEventListener(on_event, *EVENTS)
    print("ready", flush=True)
    pyatspi.Registry.start()
    return 0


if __name__ == "__main__":
    sys.exit(main())
