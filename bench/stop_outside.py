#!/usr/bin/python3
"""Stop seen from outside: clicks Start and then Stop of a running TALLOWMR with real X11 input
(XTEST, as xdotool does), then watches the Start button come back, the way a screen reader and a
person would see it: its STATE_ENABLED through AT-SPI and its pixels on the screen.

    stop_outside.py PID DELAY_MS [TIMEOUT_S]

PID is the window's process; Stop is clicked DELAY_MS after Start. Prints key=value pairs:
  atspi_ms      click on Stop to Start enabled as pyatspi reads it (its client-side cache, kept up
                to date by the state-changed events the main loop dispatches)
  asked_ms      the same, asked of the window itself each time (GetState over D-Bus, no cache)
  screen_ms     click on Stop to the first image of Start's rectangle that differs from its
                disabled look, captured during the run (XGetImage of the root window)
  stop_at_ms    when Stop was clicked, from the click on Start
Times are from the moment the button release of the click on Stop was sent and flushed.
"""

import os
import sys
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi, Gio, GLib  # noqa: E402
from Xlib import X, display  # noqa: E402
from Xlib.ext import xtest  # noqa: E402

POLL_S = 0.005


def now():
    return time.monotonic()


def fail(text):
    print(f"stop_outside: {text}", file=sys.stderr)
    sys.exit(1)


def pump():
    # STOP_OUTSIDE_PUMP=0: a client that never runs a main loop, as a plain polling script does.
    if os.environ.get("STOP_OUTSIDE_PUMP", "1") == "0":
        return
    context = GLib.MainContext.default()
    while context.iteration(False):
        pass


def find_app(pid, deadline):
    while now() < deadline:
        desktop = Atspi.get_desktop(0)
        for i in range(desktop.get_child_count()):
            app = desktop.get_child_at_index(i)
            try:
                if app is not None and app.get_process_id() == pid:
                    return app
            except GLib.Error:
                pass
        pump()
        time.sleep(0.05)
    fail(f"no accessible application of pid {pid}")


def find_buttons(app):
    found = {}

    def walk(node, depth):
        if node is None or depth > 12:
            return
        try:
            if node.get_role() == Atspi.Role.PUSH_BUTTON:
                name = node.get_name()
                if name.startswith("開始"):
                    found["start"] = node
                elif name.startswith("中止"):
                    found["stop"] = node
            for i in range(node.get_child_count()):
                walk(node.get_child_at_index(i), depth + 1)
        except GLib.Error:
            pass

    walk(app, 0)
    if "start" not in found or "stop" not in found:
        fail("Start or Stop not found among the window's buttons")
    return found["start"], found["stop"]


class Asker:
    """GetState straight over the accessibility bus: what the window says now, no cache between."""

    def __init__(self, accessible):
        session = Gio.bus_get_sync(Gio.BusType.SESSION, None)
        address = session.call_sync("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress", None,
                                    GLib.VariantType.new("(s)"), Gio.DBusCallFlags.NONE, 2000, None).unpack()[0]
        flags = Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION
        self.bus = Gio.DBusConnection.new_for_address_sync(address, flags, None, None)
        self.name = accessible.get_bus_name() if hasattr(accessible, "get_bus_name") else accessible.app.bus_name
        self.path = accessible.path

    def enabled(self):
        words = self.bus.call_sync(self.name, self.path, "org.a11y.atspi.Accessible", "GetState", None,
                                   GLib.VariantType.new("(au)"), Gio.DBusCallFlags.NONE, 2000, None).unpack()[0]
        bit = int(Atspi.StateType.ENABLED)
        return bool(words[bit // 32] >> (bit % 32) & 1)


def cached_enabled(button):
    return button.get_state_set().contains(Atspi.StateType.ENABLED)


def click(dpy, x, y):
    xtest.fake_input(dpy, X.MotionNotify, x=x, y=y)
    xtest.fake_input(dpy, X.ButtonPress, 1)
    xtest.fake_input(dpy, X.ButtonRelease, 1)
    dpy.sync()


def main():
    if len(sys.argv) < 3:
        fail("usage: stop_outside.py PID DELAY_MS [TIMEOUT_S]")
    pid, delay_ms = int(sys.argv[1]), int(sys.argv[2])
    timeout = float(sys.argv[3]) if len(sys.argv) > 3 else 10.0
    Atspi.init()
    dpy = display.Display()
    root = dpy.screen().root
    app = find_app(pid, now() + 20)
    start, stop = find_buttons(app)
    asker = Asker(start)

    def rect(button):
        e = button.get_extents(Atspi.CoordType.SCREEN)
        return e.x, e.y, e.width, e.height

    # A window manager may still move the window once it is shown: the places must hold still.
    places = None
    deadline = now() + 20
    while True:
        pump()
        now_places = (rect(start), rect(stop))
        if now_places == places and now_places[0][2] > 0 and now_places[1][2] > 0:
            break
        if now() > deadline:
            fail("the buttons have no steady place on the screen")
        places = now_places
        time.sleep(0.2)
    (sx, sy, sw, sh), (tx, ty, tw, th) = places

    def image():
        return root.get_image(sx, sy, sw, sh, X.ZPixmap, 0xFFFFFFFF).data

    # The pointer is parked away from the buttons, and the window is drawn and idle.
    deadline = now() + 20
    while not (cached_enabled(start) and asker.enabled()):
        if now() > deadline:
            fail("Start never enabled before the run")
        pump()
        time.sleep(0.02)
    xtest.fake_input(dpy, X.MotionNotify, x=0, y=0)
    dpy.sync()

    click(dpy, sx + sw // 2, sy + sh // 2)
    started = now()
    # The disabled look: two equal images in a row while the window says Start is disabled. Then the
    # pointer goes to Stop and stays there: no hover on Start, and a disabled button takes no focus.
    xtest.fake_input(dpy, X.MotionNotify, x=tx + tw // 2, y=ty + th // 2)
    dpy.sync()
    disabled = None
    previous = None
    clicks = 1
    while disabled is None:
        if now() - started > 2 and previous is None:
            # A click the window did not take (one that only activated it, under a window
            # manager): click again, and count the fill from then.
            if clicks == 3:
                fail("Start never showed disabled after three clicks")
            click(dpy, sx + sw // 2, sy + sh // 2)
            started = now()
            xtest.fake_input(dpy, X.MotionNotify, x=tx + tw // 2, y=ty + th // 2)
            dpy.sync()
            clicks += 1
        if now() - started > timeout:
            fail("Start never showed disabled after the click")
        pump()
        if not asker.enabled():
            shot = image()
            if shot == previous:
                disabled = shot
            previous = shot
        time.sleep(0.02)
    stop_at = started + delay_ms / 1000.0
    while now() < stop_at:
        pump()
        time.sleep(min(POLL_S, max(0.0, stop_at - now())))
    if image() != disabled:
        fail("Start's look changed before Stop was clicked")
    click(dpy, tx + tw // 2, ty + th // 2)
    clicked = now()
    clicked_wall = time.time()

    seen = {}
    polls = 0
    while len(seen) < 3 and now() - clicked < timeout:
        # Each is timed as it is taken: the reading came back at or before that moment.
        pump()
        if "atspi" not in seen and cached_enabled(start):
            seen["atspi"] = now()
        if "screen" not in seen and image() != disabled:
            seen["screen"] = now()
        if "asked" not in seen and asker.enabled():
            seen["asked"] = now()
        polls += 1
        time.sleep(POLL_S)

    def ms(key):
        return f"{(seen[key] - clicked) * 1000:.1f}" if key in seen else "nan"

    print(f"stop_at_ms={(clicked - started) * 1000:.1f} atspi_ms={ms('atspi')} asked_ms={ms('asked')} "
          f"screen_ms={ms('screen')} clicked_wall={clicked_wall:.6f} start_clicks={clicks} polls={polls} poll_ms={(now() - clicked) * 1000 / max(polls, 1):.1f}")


if __name__ == "__main__":
    main()
