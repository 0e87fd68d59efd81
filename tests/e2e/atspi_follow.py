#!/usr/bin/python3
# What a screen reader hears: on the session bus of DBUS_SESSION_BUS_ADDRESS and the X
# display of DISPLAY, starts the accessibility bus and registry, prints "ready", then
# writes into RECORD, until SIGTERM, a line per application seen ("app NAME") and, of
# the one named APP, its dialog, labels and bars ("dialog|label|bar NAME") and every
# change of a bar's value ("value N"):  atspi_follow.py APP RECORD
import os
import signal
import subprocess
import sys
import time

from gi.repository import Gio, GLib

app_name, record = sys.argv[1], open(sys.argv[2], "w", buffering=1)
# Nothing of ours holds the pipe that "ready" goes down; SIGTERM ends them all.
children = [subprocess.Popen(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately", "--a11y=1"],
                             stdout=subprocess.DEVNULL, start_new_session=True)]
end = lambda *_: ([os.killpg(c.pid, signal.SIGKILL) for c in children], os._exit(1))
signal.signal(signal.SIGTERM, end)
sys.excepthook = lambda *e: (sys.__excepthook__(*e), end())
session = Gio.bus_get_sync(Gio.BusType.SESSION, None)
call = lambda *a: session.call_sync(*a, Gio.DBusCallFlags.NONE, -1, None).unpack()[0]
while children[0].poll() is None and not call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
               GLib.Variant("(s)", ("org.a11y.Bus",)), None):
    time.sleep(0.02)
# The address on the root window, as a session's bus launcher puts it: Qt 5 reads it
# there at start, while asked on the session bus it registers the application before
# the answer comes, and never again. A client stays on the display, as a session's
# always do: when the last one leaves, the X server resets and forgets it.
children.append(subprocess.Popen(["xprop", "-root", "-spy", "AT_SPI_BUS"], stdout=subprocess.PIPE,
                                 stderr=subprocess.DEVNULL, start_new_session=True))
children[-1].stdout.readline()
subprocess.run(["xprop", "-root", "-f", "AT_SPI_BUS", "8s", "-set", "AT_SPI_BUS",
                call("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress", None, None)], check=True)
import pyatspi  # noqa: E402  (connects to that bus)

# The registry is started on demand: up before the launcher, so that its registration is
# not the call that starts it, which a loaded machine may answer too late.
pyatspi.Registry.getDesktop(0).childCount
print("ready", flush=True)
heard, value = set(), None
kinds = {pyatspi.ROLE_DIALOG: "dialog", pyatspi.ROLE_LABEL: "label", pyatspi.ROLE_PROGRESS_BAR: "bar"}


def walk(node):
    yield node
    for i in range(node.childCount):
        yield from walk(node.getChildAtIndex(i))


while True:
    try:
        for app in pyatspi.Registry.getDesktop(0):
            lines = ["app " + app.name]
            for node in walk(app) if app.name == app_name else []:
                if node.getRole() in kinds:
                    lines.append(kinds[node.getRole()] + " " + node.name)
                if node.getRole() == pyatspi.ROLE_PROGRESS_BAR and node.queryValue().currentValue != value:
                    value = node.queryValue().currentValue
                    record.write("value %g\n" % value)
            for line in set(lines) - heard:
                heard.add(line)
                record.write(line + "\n")
    except Exception:  # noqa: BLE001
        pass  # the application left while it was read, or was half-registered
    time.sleep(0.01)
