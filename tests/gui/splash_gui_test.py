#!/usr/bin/env python3
"""The splash window seen from outside: the real Windows program under Wine on
an X display (Xvfb), found, measured, photographed, clicked and dragged with
the X tools, the way a person would use it.

    splash_gui_test.py --probe splash_probe.exe --wine-run scripts/wine-run.sh \
        --background ui/resources/splash_background.png --artifacts <dir>

Needs DISPLAY (run it under xvfb-run), xdotool, xwininfo and ImageMagick.
Keeps the screenshot of the window as <artifacts>/splash.png.
"""

import argparse
import os
import queue
import re
import shutil
import subprocess
import sys
import threading
import time

WIDTH, HEIGHT = 440, 250
TITLE = "Tessaly Reach"
# Every wait for the probe and the window is multiplied by this: under a CPU
# emulator a Windows program takes a minute or more just to start.
TIME_SCALE = float(os.environ.get("TSL_TEST_TIME_SCALE", "1"))

failures = []
checks = 0


def check(condition, what):
    global checks
    checks += 1
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        failures.append(what)
    return condition


def run(*args):
    return subprocess.run(args, check=True, capture_output=True, text=True).stdout


class Probe:
    """The helper program, driven line by line over its standard input."""

    def __init__(self, options, *extra):
        env = dict(os.environ, WINEPREFIX=options.prefix, WINEDEBUG="-all")
        self.proc = subprocess.Popen([options.wine_run, options.probe, *extra],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True, env=env)
        self.lines = queue.Queue()
        threading.Thread(target=self._pump, daemon=True).start()

    def _pump(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\r\n"))
        self.lines.put(None)

    def read(self, timeout=30):
        timeout *= TIME_SCALE
        try:
            line = self.lines.get(timeout=timeout)
        except queue.Empty:
            raise RuntimeError("the probe did not answer in %g s" % timeout)
        if line is None:
            raise RuntimeError("the probe ended")
        return line

    def ask(self, command, timeout=30):
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()
        return self.read(timeout)

    def state(self):
        m = re.match(r"state closed=(\d) thread=(\d)", self.ask("state"))
        return bool(int(m.group(1))), bool(int(m.group(2)))

    def finish(self):
        try:
            if self.proc.poll() is None:
                self.proc.stdin.write("quit\n")
                self.proc.stdin.flush()
            return self.proc.wait(timeout=30 * TIME_SCALE)
        except (BrokenPipeError, subprocess.TimeoutExpired):
            self.proc.kill()
            return -1


def find_window(timeout=20):
    """The X window of the splash: named like the product, 440 x 250, mapped."""
    end = time.time() + timeout * TIME_SCALE
    while time.time() < end:
        out = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^%s$" % TITLE],
                             capture_output=True, text=True).stdout
        for wid in out.split():
            geo = geometry(wid)
            if geo and geo[2:] == (WIDTH, HEIGHT):
                return wid
        time.sleep(0.2)
    return None


def geometry(wid):
    try:
        out = run("xwininfo", "-id", wid)
    except subprocess.CalledProcessError:
        return None
    value = lambda key: int(re.search(key + r":\s+(-?\d+)", out).group(1))
    if "IsViewable" not in out:
        return None
    return (value("Absolute upper-left X"), value("Absolute upper-left Y"), value("Width"),
            value("Height"))


def screen_size():
    out = run("xwininfo", "-root")
    return (int(re.search(r"Width:\s+(\d+)", out).group(1)),
            int(re.search(r"Height:\s+(\d+)", out).group(1)))


class Picture:
    def __init__(self, rgb, width, height):
        self.rgb, self.width, self.height = rgb, width, height

    def at(self, x, y):
        i = 3 * (y * self.width + x)
        return self.rgb[i], self.rgb[i + 1], self.rgb[i + 2]

    def white(self, x, y):
        return min(self.at(x, y)) >= 245

    def white_run(self, y):
        n = 0
        while n < self.width and self.white(n, y):
            n += 1
        return n

    def differing(self, other, x0, y0, x1, y1, threshold=90):
        n = 0
        for y in range(y0, y1):
            for x in range(x0, x1):
                a, b = self.at(x, y), other.at(x, y)
                n += sum(abs(a[i] - b[i]) for i in range(3)) > threshold
        return n


def load_rgb(path, crop=None):
    args = ["convert", path]
    if crop:
        args += ["-crop", "%dx%d+%d+%d" % crop, "+repage"]
    data = subprocess.run(args + ["-depth", "8", "rgb:-"], check=True, capture_output=True).stdout
    width, height = (crop[0], crop[1]) if crop else (WIDTH, HEIGHT)
    return Picture(data, width, height)


def screenshot(options, x, y, keep=None):
    shot = os.path.join(options.artifacts, "screen.png")
    run("import", "-window", "root", shot)
    if keep:
        run("convert", shot, "-crop", "%dx%d+%d+%d" % (WIDTH, HEIGHT, x, y), "+repage",
            os.path.join(options.artifacts, keep))
    return load_rgb(shot, (WIDTH, HEIGHT, x, y))


def wait_for(condition, timeout=5):
    end = time.time() + timeout * TIME_SCALE
    while time.time() < end:
        if condition():
            return True
        time.sleep(0.1)
    return condition()


def xdo(*args):
    run("xdotool", *[str(a) for a in args])
    time.sleep(0.15)


def main_window_checks(options, background):
    probe = Probe(options)
    started = probe.read(timeout=240)  # a new prefix takes its time
    check(re.match(r"started ms=\d+ thread=1", started) is not None, "window started: " + started)
    wid = find_window()
    if not check(wid is not None, "window found by its title"):
        probe.finish()
        return
    x, y, w, h = geometry(wid)
    sw, sh = screen_size()
    check((w, h) == (WIDTH, HEIGHT), "window is %dx%d" % (w, h))
    check((x, y) == ((sw - WIDTH) // 2, (sh - HEIGHT) // 2),
          "window centred on the %dx%d screen at %d,%d" % (sw, sh, x, y))

    # Status, caption and a half-full bar.
    probe.ask("progress 50 100")
    probe.ask("status Checking files: data\\textures.pak")
    xdo("mousemove", x + 200, y + 120)
    shot = screenshot(options, x, y, keep="splash.png")
    status_pixels = shot.differing(background, 9, 226, 230, 242)
    caption_pixels = shot.differing(background, 300, 226, 431, 242)
    check(status_pixels > 80, "status text drawn (%d pixels differ from the background)" %
          status_pixels)
    check(caption_pixels > 60, "caption drawn (%d pixels differ)" % caption_pixels)
    check(shot.differing(background, 9, 60, 400, 200) == 0, "the picture above the text is intact")
    for row in (247, 248, 249):
        check(shot.white_run(row) == 220, "bar row %d: %d white pixels for 50/100" %
              (row, shot.white_run(row)))
    # A change is painted at the window's next frame, not before the reply.
    for current, total, expected in ((0, 100, 5), (150, 100, 440), (7, 0, 0)):
        probe.ask("progress %d %d" % (current, total))
        probe.ask("status Downloading")
        wait_for(lambda: screenshot(options, x, y).white_run(248) == expected, timeout=2)
        run_width = screenshot(options, x, y).white_run(248)
        check(run_width == expected, "bar for %d/%d: %d pixels" % (current, total, run_width))
    burst_checks(options, probe, x, y)

    # Hover dims the close cross.
    plain = screenshot(options, x, y).at(430, 10)[0]
    xdo("mousemove", x + 430, y + 10)
    hovered = screenshot(options, x, y).at(430, 10)[0]
    check(plain >= 245 and 60 < hovered < 200,
          "close cross half transparent under the mouse (%d -> %d)" % (plain, hovered))

    # Drag from the middle of the picture.
    xdo("mousemove", x + 100, y + 100)
    xdo("mousedown", 1)
    for step in range(1, 5):
        xdo("mousemove", x + 100 + 10 * step, y + 100 + 8 * step)
    xdo("mouseup", 1)
    moved = wait_for(lambda: geometry(wid)[:2] == (x + 40, y + 32))
    nx, ny = geometry(wid)[:2]
    check(moved, "drag moved the window by 40,32 (now at %d,%d from %d,%d)" % (nx, ny, x, y))
    check(probe.state() == (False, True), "still open after the drag")

    # A click on the close cross closes it and ends the UI thread.
    xdo("mousemove", nx + 430, ny + 10)
    xdo("click", 1)
    closed = wait_for(lambda: probe.state() == (True, False))
    check(closed, "click on the close cross: is_closed and the UI thread ended")
    check(wait_for(lambda: geometry(wid) is None), "the window is gone")
    reply = probe.ask("close")
    check(re.match(r"closed ms=\d+ thread=0", reply) is not None, "close afterwards: " + reply)
    check(probe.finish() == 0, "probe ended cleanly")


def burst_checks(options, probe, x, y):
    """A burst of 1,000 changes ends showing its last state, sooner than a
    synchronous paint per change could: that cost is measured in the same
    run, with the probe flushing after every change."""
    reply = re.compile(r"(\w+) ms=([\d.]+) shown_ms=(-?[\d.]+) paints=(\d+)$")
    synchronous = reply.match(probe.ask("paint 100", timeout=120))
    burst = reply.match(probe.ask("burst 1000", timeout=60))
    if not check(synchronous and burst, "burst and paint replies"):
        return
    per_paint = float(synchronous.group(2)) / 100
    took, shown, paints = float(burst.group(2)), float(burst.group(3)), int(burst.group(4))
    bound = 1000 * per_paint / 4
    check(0 <= shown < bound,
          "1000 changes show the last one after %.1f ms, within %.0f ms (a quarter of a paint "
          "per change at %.2f ms each)" % (shown, bound, per_paint))
    check(paints <= took / 16 + 2, "%d paints during the %.1f ms burst: one a frame at most" %
          (paints, took))

    # The window shows it: the state before it looks different, the last
    # one set again looks the same.
    band = (9, 226, 230, 250)
    last = screenshot(options, x, y)
    check(last.white_run(248) == 440, "bar full after the burst")
    probe.ask("progress 999 1000")
    probe.ask("status Checking file 'Item 999.dat'")
    check(wait_for(lambda: screenshot(options, x, y).differing(last, *band) > 0, timeout=2),
          "the state before the last one looks different")
    probe.ask("progress 1000 1000")
    probe.ask("status Checking file 'Item 1000.dat'")
    check(wait_for(lambda: screenshot(options, x, y).differing(last, *band) == 0, timeout=2),
          "the window showed the burst's last state")


def close_checks(options):
    probe = Probe(options)
    probe.read(timeout=120)
    wid = find_window()
    check(wid is not None, "second window shown")
    reply = probe.ask("close", timeout=30)
    m = re.match(r"closed ms=(\d+) thread=(\d)", reply)
    check(m is not None and int(m.group(1)) < 15000 and m.group(2) == "0",
          "close ends the UI thread within the limit: " + reply)
    check(wid is None or wait_for(lambda: geometry(wid) is None), "closed window is gone")
    probe.finish()


def no_close_icon_checks(options):
    probe = Probe(options, "--no-close-icon")
    probe.read(timeout=120)
    wid = find_window()
    if not check(wid is not None, "window without close icon shown"):
        probe.finish()
        return
    x, y = geometry(wid)[:2]
    xdo("mousemove", x + 430, y + 10)
    xdo("click", 1)
    xdo("mousemove", x + 100, y + 100)
    xdo("mousedown", 1)
    xdo("mousemove", x + 150, y + 150)
    xdo("mouseup", 1)
    time.sleep(0.5)
    check(probe.state() == (False, True), "without close icon a click does not close it")
    check(geometry(wid)[:2] == (x, y), "without close icon a drag does not move it")
    reply = probe.ask("close")
    check(reply.endswith("thread=0"), "and close still ends it: " + reply)
    probe.finish()


def no_background_checks(options):
    probe = Probe(options, "--no-background")
    reply = probe.read(timeout=120)
    m = re.match(r"started ms=(\d+) thread=(\d)", reply)
    check(m is not None and int(m.group(1)) >= 14900 and m.group(2) == "0",
          "without background start waits 15000 ms and no thread stays: " + reply)
    check(find_window(timeout=1) is None, "without background there is no window")
    check(probe.ask("status dropped") == "ok", "status updates are dropped without a crash")
    check(probe.state() == (False, False), "not closed until close")
    probe.finish()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--probe", required=True)
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("--background", required=True)
    parser.add_argument("--artifacts", required=True)
    parser.add_argument("--prefix", required=True, help="Wine prefix of its own")
    parser.add_argument("--quick", action="store_true", help="skip the 15 s no-background case")
    options = parser.parse_args()
    for tool in ("xdotool", "xwininfo", "import", "convert"):
        if not shutil.which(tool):
            print("missing tool: " + tool)
            return 1
    if not os.environ.get("DISPLAY"):
        print("no DISPLAY: run under xvfb-run")
        return 1
    os.makedirs(options.artifacts, exist_ok=True)
    background = load_rgb(options.background)
    try:
        main_window_checks(options, background)
        close_checks(options)
        no_close_icon_checks(options)
        if not options.quick:
            no_background_checks(options)
    except Exception as error:  # a hung or crashed probe is a failure, not a traceback
        check(False, "driver stopped: %r" % (error,))
    finally:
        # Only the wineserver of this test's own prefix.
        subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=options.prefix),
                       capture_output=True)
    screen = os.path.join(options.artifacts, "screen.png")
    if os.path.exists(screen):
        os.remove(screen)
    print("%d passed, %d failed" % (checks - len(failures), len(failures)))
    print("screenshot: " + os.path.join(options.artifacts, "splash.png"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
