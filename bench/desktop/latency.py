#!/usr/bin/python3
"""How long a desktop media-control call takes to change the player, against
a click on the window's own play button, measured the same way: from the
moment the call is sent (or the click is made) to the PropertiesChanged signal
that announces the new PlaybackStatus. Run by run-latency.sh.

    latency.py WINDOW_ID PLAY_X PLAY_Y [ROUNDS]
"""
import statistics
import subprocess
import sys
import time

import dbus
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

WINDOW, PLAY_X, PLAY_Y = sys.argv[1], sys.argv[2], sys.argv[3]
ROUNDS = int(sys.argv[4]) if len(sys.argv) > 4 else 50

DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
player = dbus.Interface(bus.get_object("org.mpris.MediaPlayer2.vorn", "/org/mpris/MediaPlayer2"),
                        "org.mpris.MediaPlayer2.Player")
loop = GLib.MainLoop()
changed_at = []


def on_changed(interface, changed, invalidated):
    if "PlaybackStatus" in changed:
        changed_at.append(time.perf_counter())
        loop.quit()


bus.add_signal_receiver(on_changed, "PropertiesChanged", "org.freedesktop.DBus.Properties",
                        path="/org/mpris/MediaPlayer2")


def timed(action):
    changed_at.clear()
    start = time.perf_counter()
    action()
    GLib.timeout_add(2000, loop.quit)
    loop.run()
    return (changed_at[0] - start) * 1000 if changed_at else None


def click():
    subprocess.run(["xdotool", "mousemove", "--window", WINDOW, PLAY_X, PLAY_Y, "click", "1"], check=True)


def by_bus():
    player.PlayPause(reply_handler=lambda: None, error_handler=lambda e: None)


def measure(action):
    times = []
    for _ in range(ROUNDS):
        ms = timed(action)
        if ms is not None:
            times.append(ms)
        time.sleep(0.05)
    return times


# xdotool itself costs a process start: measured alone and taken off.
spawn = []
for _ in range(20):
    start = time.perf_counter()
    subprocess.run(["xdotool", "getmouselocation"], check=True, stdout=subprocess.DEVNULL)
    spawn.append((time.perf_counter() - start) * 1000)
bus_times = measure(by_bus)
click_times = measure(click)
overhead = statistics.median(spawn)
bus_median = statistics.median(bus_times)
click_median = statistics.median(click_times) - overhead
print("rounds                         %d bus, %d click" % (len(bus_times), len(click_times)))
print("D-Bus PlayPause -> announced   median %.2f ms" % bus_median)
print("click on play   -> announced   median %.2f ms (xdotool's own %.2f ms taken off)" % (click_median, overhead))
print("ratio bus / click              %.2fx" % (bus_median / click_median))
