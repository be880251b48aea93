#!/usr/bin/python3
"""A screen reader's view of a program, through AT-SPI (pyatspi).

    screen_reader.py APP tree
    screen_reader.py APP act ROLE NAME ACTION
    screen_reader.py APP set-value ROLE NAME VALUE
    screen_reader.py APP listen RECORD_FILE

APP is the application's name on the accessibility bus. "tree" prints one JSON
line per object (role, name, description, states, actions, value, text);
"act" does an action of the object with that role and name, "set-value" sets
its value; both exit 1 when there is no such object or the call failed.
"listen" records the events a screen reader announces from (name and
description changes, showing, focus, value changes), one JSON line each, after
a first line {"event": "ready"}, until it is ended.
"""
import json
import sys
import time

import pyatspi

APP = sys.argv[1]
COMMAND = sys.argv[2]

# A screen reader waits for a busy program: libatspi's own limit of 0.8 s per
# call to the application made the listener record events of a loaded machine
# with neither role nor name, and miss them.
pyatspi.setTimeout(20000, 30000)


def application(timeout=10.0):
    deadline = time.monotonic() + timeout
    while True:
        desktop = pyatspi.Registry.getDesktop(0)
        for app in desktop:
            if app is not None and app.name == APP:
                return app
        if time.monotonic() > deadline:
            sys.exit("no application " + APP + " on the accessibility bus")
        time.sleep(0.2)


def describe(obj):
    entry = {
        "role": obj.getRoleName(),
        "name": obj.name,
        "description": obj.description,
        "states": sorted(pyatspi.stateToString(s) for s in obj.getState().getStates()),
    }
    try:
        action = obj.queryAction()
        entry["actions"] = [action.getName(i) for i in range(action.nActions)]
    except NotImplementedError:
        pass
    try:
        value = obj.queryValue()
        entry["value"] = value.currentValue
        entry["maximum"] = value.maximumValue
    except NotImplementedError:
        pass
    try:
        text = obj.queryText()
        entry["text"] = text.getText(0, -1)
    except NotImplementedError:
        pass
    return entry


def walk(obj, depth=0):
    if obj is None:
        return
    entry = describe(obj)
    entry["depth"] = depth
    print(json.dumps(entry), flush=True)
    for child in obj:
        walk(child, depth + 1)


def find(obj, role, name):
    if obj is None:
        return None
    if obj.getRoleName() == role and obj.name == name:
        return obj
    for child in obj:
        found = find(child, role, name)
        if found is not None:
            return found
    return None


def target(role, name):
    found = find(application(), role, name)
    if found is None:
        sys.exit("no " + role + " named " + repr(name))
    return found


if COMMAND == "tree":
    walk(application())
elif COMMAND == "act":
    obj = target(sys.argv[3], sys.argv[4])
    action = obj.queryAction()
    names = [action.getName(i) for i in range(action.nActions)]
    if sys.argv[5] not in names:
        sys.exit("no action " + sys.argv[5] + " among " + repr(names))
    sys.exit(0 if action.doAction(names.index(sys.argv[5])) else 1)
elif COMMAND == "set-value":
    obj = target(sys.argv[3], sys.argv[4])
    obj.queryValue().currentValue = float(sys.argv[5])
elif COMMAND == "listen":
    RECORD = sys.argv[3]

    def record(entry):
        with open(RECORD, "a", encoding="utf-8") as out:
            out.write(json.dumps(entry) + "\n")

    def heard(event):
        source = event.source
        try:
            role, name = source.getRoleName(), source.name
        except Exception:  # gone meanwhile
            role, name = "", ""
        record({"event": event.type, "role": role, "name": name, "detail1": event.detail1,
                "any_data": event.any_data if isinstance(event.any_data, (str, int, float)) else None})

    application(30.0)
    pyatspi.Registry.registerEventListener(
        heard, "object:property-change:accessible-name", "object:property-change:accessible-description",
        "object:state-changed:showing", "object:state-changed:focused", "object:property-change:accessible-value",
        "focus:")
    record({"event": "ready"})
    pyatspi.Registry.start()
else:
    sys.exit("unknown command " + COMMAND)
