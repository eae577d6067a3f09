#!/usr/bin/python3
"""What a screen reader hears of the tunnels window, read over AT-SPI from the running program.

Usage: screen_reader_check.py ZANDREL  (inside an X session and a session bus; the tunnels
"db-tunnel" and "web" stored, stopped, with an ssh that connects at once).
"""
import subprocess
import sys
import time

import pyatspi
from gi.repository import GLib

zandrel = sys.argv[1]
heard = []


def fail(message):
    print("screen_reader_check: " + message, file=sys.stderr)
    subprocess.run([zandrel, "--quit"], timeout=20)
    sys.exit(1)


def find(node, predicate, depth=0):
    if node is None or depth > 12:
        return None
    try:
        if predicate(node):
            return node
        for i in range(node.childCount):
            found = find(node.getChildAtIndex(i), predicate, depth + 1)
            if found is not None:
                return found
    except Exception:  # a node that went away while it was read
        return None
    return None


def table_of_tunnels():
    desktop = pyatspi.Registry.getDesktop(0)
    for app in desktop:
        if app is None or "zandrel" not in (app.name or "").lower():
            continue
        table = find(app, lambda n: n.getRole() == pyatspi.ROLE_TABLE and n.name == "Tunnels")
        if table is not None:
            return table
    return None


def cell_names(table):
    return [table.getChildAtIndex(i).name for i in range(table.childCount)]


def spin(seconds, until):
    """Serves AT-SPI's events for up to seconds, or until until() holds."""
    loop = GLib.MainLoop()
    deadline = time.monotonic() + seconds

    def check():
        if until() or time.monotonic() > deadline:
            loop.quit()
            return False
        return True

    GLib.timeout_add(100, check)
    loop.run()
    return until()


program = subprocess.Popen([zandrel])
table = None
deadline = time.monotonic() + 30
while table is None and time.monotonic() < deadline:
    time.sleep(0.3)
    table = table_of_tunnels()
if table is None:
    fail("no table named \"Tunnels\" on the accessibility bus")

names = cell_names(table)
for expected in ("db-tunnel, Idle", "Start db-tunnel", "web, Idle", "Start web"):
    if expected not in names:
        fail("%r not among the cells %r" % (expected, names))

pyatspi.Registry.registerEventListener(
    lambda e: heard.append((e.type, e.source.name if e.source else "")), "object:property-change:accessible-name")
pyatspi.Registry.registerEventListener(lambda e: heard.append((e.type, e.source.name if e.source else "")),
                                       "object:state-changed")
subprocess.run([zandrel, "--start", "db-tunnel"], check=True, timeout=20)
if not spin(15, lambda: "Stop db-tunnel" in cell_names(table)):
    fail("the button never became \"Stop db-tunnel\": %r" % cell_names(table))
if not spin(15, lambda: "db-tunnel, Connected" in cell_names(table)):
    fail("the row never read \"db-tunnel, Connected\": %r" % cell_names(table))
if not spin(5, lambda: any(t.startswith("object:property-change:accessible-name") for t, _ in heard)):
    fail("no name change was announced; heard %r" % heard)
spin(1, lambda: False)
print("screen_reader_check: heard %d events, among them %r" % (len(heard), sorted(set(heard))[:6]))
subprocess.run([zandrel, "--quit"], timeout=20)
program.wait(timeout=20)
