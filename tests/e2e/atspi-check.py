#!/usr/bin/python3
"""What a screen reader reads of the running Vantrel, through the AT-SPI registry.

  atspi-check.py tree                 every control of the main window named, the strip a list "Disks"
                                      of list items, the results table and the progress bars named
  atspi-check.py grab-strip           gives the strip the keyboard, as a screen reader's focus would
  atspi-check.py focused NAME         the strip's tile NAME is focused, the others are not
  atspi-check.py selected NAME        the strip's tile NAME is selected, the others are not

Exit status 1 with what was wrong; each waits up to 30 s for the application to appear and settle.
"""
import sys
import time

import pyatspi

CONTROLS = {
    pyatspi.ROLE_PUSH_BUTTON, pyatspi.ROLE_TOGGLE_BUTTON, pyatspi.ROLE_CHECK_BOX, pyatspi.ROLE_RADIO_BUTTON,
    pyatspi.ROLE_COMBO_BOX, pyatspi.ROLE_LIST, pyatspi.ROLE_LIST_ITEM, pyatspi.ROLE_TABLE, pyatspi.ROLE_PROGRESS_BAR,
    pyatspi.ROLE_TEXT, pyatspi.ROLE_ENTRY, pyatspi.ROLE_MENU_ITEM,
}


def application():
    deadline = time.time() + 30
    while time.time() < deadline:
        for app in pyatspi.Registry.getDesktop(0):
            if app is not None and app.name == "Vantrel":
                return app
        time.sleep(0.5)
    sys.exit("FAIL: no application Vantrel on the AT-SPI bus")


def nodes(node):
    yield node
    for child in node:
        if child is not None:
            yield from nodes(child)


def shown(node):
    return node.getState().contains(pyatspi.STATE_SHOWING)


def main_window(app):
    for frame in app:
        if frame is not None and frame.getRole() == pyatspi.ROLE_FRAME and frame.name == "Vantrel":
            return frame
    sys.exit("FAIL: no frame named Vantrel")


def strip_tiles(app):
    deadline = time.time() + 30
    while True:
        for node in nodes(main_window(app)):
            if node.getRole() == pyatspi.ROLE_LIST and node.name == "Disks":
                tiles = [n for n in nodes(node) if n.getRole() == pyatspi.ROLE_LIST_ITEM]
                if tiles or time.time() > deadline:
                    return node, tiles
        if time.time() > deadline:
            sys.exit("FAIL: no list named Disks")
        time.sleep(0.5)


def check_tree(app):
    problems = []
    counted = {}
    for node in nodes(main_window(app)):
        role = node.getRole()
        if role not in CONTROLS or not shown(node):
            continue
        counted[node.getRoleName()] = counted.get(node.getRoleName(), 0) + 1
        if not node.name.strip():
            problems.append("an unnamed %s (%s)" % (node.getRoleName(), node.description))
        if role == pyatspi.ROLE_FILLER:
            problems.append("a filler")
    strip, tiles = strip_tiles(app)
    if len(tiles) < 2:
        problems.append("the strip shows %d tiles" % len(tiles))
    for tile in tiles:
        states = tile.getState()
        if not states.contains(pyatspi.STATE_FOCUSABLE) or not states.contains(pyatspi.STATE_SELECTABLE):
            problems.append("tile %s is not focusable and selectable" % tile.name)
    names = {node.name for node in nodes(main_window(app))
             if node.getRole() in (pyatspi.ROLE_TABLE, pyatspi.ROLE_PROGRESS_BAR)}
    if "Found files" not in names:
        problems.append("no table named Found files (%s)" % sorted(names))
    print("controls:", ", ".join("%d %s" % (n, role) for role, n in sorted(counted.items())))
    print("tiles:", ", ".join(tile.name for tile in tiles))
    return problems


def check_state(app, name, state, label):
    deadline = time.time() + 30
    while True:
        _, tiles = strip_tiles(app)
        wrong = [tile.name for tile in tiles if tile.getState().contains(state) != (tile.name == name)]
        if not wrong and any(tile.name == name for tile in tiles):
            return []
        if time.time() > deadline:
            return ["%s: expected only %s, wrong for %s" % (label, name, ", ".join(wrong) or "(no such tile)")]
        time.sleep(0.3)


def main():
    app = application()
    what = sys.argv[1]
    if what == "tree":
        problems = check_tree(app)
    elif what == "grab-strip":
        strip, _ = strip_tiles(app)
        problems = [] if strip.queryComponent().grabFocus() else ["the strip did not take the focus"]
    elif what == "focused":
        problems = check_state(app, sys.argv[2], pyatspi.STATE_FOCUSED, "focused")
    elif what == "selected":
        problems = check_state(app, sys.argv[2], pyatspi.STATE_SELECTED, "selected")
    else:
        sys.exit("usage: atspi-check.py tree | grab-strip | focused NAME | selected NAME")
    for problem in problems:
        print("FAIL:", problem, file=sys.stderr)
    sys.exit(1 if problems else 0)


main()
