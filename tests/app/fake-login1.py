#!/usr/bin/python3
"""A stand-in for logind's Manager.Inhibit on a private bus, for the sleep-inhibitor tests.

argv[1] is the bus address. Prints "ready" once it owns the name, "inhibit WHAT|WHO|WHY|MODE"
for each call and "released N" when the client closes the descriptor of call N. Ends when its
standard input closes, so it never outlives the test.
"""
import os
import sys

from gi.repository import Gio, GLib

XML = """
<node>
  <interface name="org.freedesktop.login1.Manager">
    <method name="Inhibit">
      <arg type="s" direction="in"/><arg type="s" direction="in"/>
      <arg type="s" direction="in"/><arg type="s" direction="in"/>
      <arg type="h" direction="out"/>
    </method>
  </interface>
</node>
"""

loop = GLib.MainLoop()
calls = 0


def say(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


def on_call(connection, sender, path, interface, method, params, invocation):
    global calls
    calls += 1
    number = calls
    say("inhibit " + "|".join(params.unpack()))
    # Like logind: hand out the write end of a pipe and watch the read end for the hang-up.
    read_end, write_end = os.pipe()

    def on_hangup(fd, condition):
        say("released %d" % number)
        os.close(fd)
        return False

    GLib.io_add_watch(read_end, GLib.PRIORITY_DEFAULT, GLib.IO_HUP | GLib.IO_ERR, on_hangup)
    fds = Gio.UnixFDList.new_from_array([write_end])  # takes the descriptor over
    invocation.return_value_with_unix_fd_list(GLib.Variant("(h)", (0,)), fds)


def on_stdin(fd, condition):
    loop.quit()
    return False


connection = Gio.DBusConnection.new_for_address_sync(
    sys.argv[1],
    Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
    | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION,
    None,
    None,
)
info = Gio.DBusNodeInfo.new_for_xml(XML).interfaces[0]
connection.register_object("/org/freedesktop/login1", info, on_call, None, None)
reply = connection.call_sync(
    "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
    GLib.Variant("(su)", ("org.freedesktop.login1", 4)), GLib.VariantType("(u)"),
    Gio.DBusCallFlags.NONE, -1, None)
if reply.unpack()[0] != 1:
    say("name not owned")
    sys.exit(1)
GLib.io_add_watch(0, GLib.PRIORITY_DEFAULT, GLib.IO_IN | GLib.IO_HUP, on_stdin)
say("ready")
loop.run()
