#!/usr/bin/python3
# What a screen reader hears of an application: on the session bus of
# DBUS_SESSION_BUS_ADDRESS (and the X display of DISPLAY, when set), starts the
# accessibility bus with its registry, prints
# "ready", then follows through AT-SPI the application named APP until it leaves:
#
#   atspi_follow.py APP RECORD
#
# RECORD gets one line per finding: "app NAME" for every application seen, then for APP
# "dialog NAME", "label TEXT" and "bar NAME" of its dialog, and "value N" for every read
# of the bar's value that differs from the one before. SIGTERM ends it and the buses.
import os
import signal
import subprocess
import sys
import time

from gi.repository import Gio, GLib

app_name, record_path = sys.argv[1], sys.argv[2]
# Its own process group, so that its a11y bus and registry end with it. Nothing of
# ours keeps the pipe that "ready" goes down open.
launcher = subprocess.Popen(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately", "--a11y=1"],
                            stdout=subprocess.DEVNULL, start_new_session=True)
holder = None


def end(*_):
    for child in (holder, launcher):
        if child is not None:
            child.kill()
    try:
        os.killpg(launcher.pid, signal.SIGTERM)
    except ProcessLookupError:
        pass
    os._exit(0)


signal.signal(signal.SIGTERM, end)
sys.excepthook = lambda kind, value, trace: (sys.__excepthook__(kind, value, trace), end())

session = Gio.bus_get_sync(Gio.BusType.SESSION, None)
while True:
    owned = session.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                              "NameHasOwner", GLib.Variant("(s)", ("org.a11y.Bus",)), None,
                              Gio.DBusCallFlags.NONE, -1, None).unpack()[0]
    if owned:
        break
    if launcher.poll() is not None:
        raise SystemExit("at-spi-bus-launcher ended: %d" % launcher.returncode)
    time.sleep(0.02)

# As the desktop's bus launcher does on an X11 session: the bus's address on the root
# window. Qt 5 reads it there while it starts; asked on the session bus instead, it gets
# the address after it has registered the application, which it then never does again.
if os.environ.get("DISPLAY"):
    # A client that stays connected, as a session's always are: when its last client
    # leaves, the X server resets and forgets the root window's properties. Its first
    # line says that it is connected.
    holder = subprocess.Popen(["xprop", "-root", "-spy", "AT_SPI_BUS"], stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL)
    holder.stdout.readline()
    address = session.call_sync("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress", None, None,
                                 Gio.DBusCallFlags.NONE, -1, None).unpack()[0]
    subprocess.run(["xprop", "-root", "-f", "AT_SPI_BUS", "8s", "-set", "AT_SPI_BUS", address], check=True)

import pyatspi  # noqa: E402  (connects to the accessibility bus that now exists)

record = open(record_path, "w", buffering=1)
seen_apps, found, last_value, was_there = set(), set(), None, False


def walk(node, depth=0):
    if node is None or depth > 8:
        return
    yield node
    for i in range(node.childCount):
        yield from walk(node.getChildAtIndex(i), depth + 1)


print("ready", flush=True)
while True:
    here = False
    try:
        desktop = pyatspi.Registry.getDesktop(0)
        for app in desktop:
            if app is None:
                continue
            if app.name not in seen_apps:
                seen_apps.add(app.name)
                record.write("app %s\n" % app.name)
            if app.name != app_name:
                continue
            here = True
            for node in walk(app):
                role = node.getRole()
                key = None
                if role in (pyatspi.ROLE_DIALOG, pyatspi.ROLE_FRAME):
                    key = "dialog %s" % node.name
                elif role == pyatspi.ROLE_LABEL and node.name:
                    key = "label %s" % node.name
                elif role == pyatspi.ROLE_PROGRESS_BAR:
                    key = "bar %s" % node.name
                    value = node.queryValue().currentValue
                    if value != last_value:
                        record.write("value %g\n" % value)
                        last_value = value
                if key is not None and key not in found:
                    found.add(key)
                    record.write(key + "\n")
    except GLib.Error:
        # The application left while it was being read.
        pass
    was_there = was_there or here
    if was_there and not here:
        break
    time.sleep(0.01)
record.close()
signal.pause()
