"""The real Quellmark window as assistive technology meets it.

Runs inside a private D-Bus session (the tests are started by dbus-run-session):
the accessibility bus and its registry are started on demand by the session bus,
Quellmark runs under a private Xvfb display with Qt's AT-SPI bridge on, against a
quellmark-logdb server whose SQLite file the test reads and marks directly.
Everything started here is stopped by close().

    with Session(args, rows=30000) as s:
        s.launch()
        button = s.find("push button", "Count Records")
        s.press(button)
"""

import argparse
import os
import re
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi, GLib  # noqa: E402

# Imported once the session bus knows the display (see Session.__init__).
pyatspi = None

PASSWORD = "a11y;pw"
WINDOW_CAPTION = "  Quellmark"


def arguments():
    parser = argparse.ArgumentParser()
    for name in ("app", "xclose", "settings", "logdb"):
        parser.add_argument("--" + name, required=True)
    return parser.parse_args()


class TestFailure(AssertionError):
    pass


def run(test):
    """Runs a test's main function: status 1 and the failure on stderr when a
    check fails."""
    try:
        test()
    except TestFailure as failure:
        print("FAILED:", failure, file=sys.stderr)
        sys.exit(1)


def check(condition, message):
    if not condition:
        raise TestFailure(message)


def describe(acc):
    return "%s %r" % (acc.getRoleName(), acc.name)


class Session:
    def __init__(self, args, rows, seed=7, server_args=()):
        self.args = args
        self.work = tempfile.mkdtemp(prefix="quellmark-a11y-")
        self.processes = []
        self.app_process = None
        self.app = None
        self.window_id = None
        self.events = []
        self.focus = None
        self._listening = []
        try:
            self._start_xvfb()
            self._start_accessibility_bus()
            self._start_logdb(rows, seed, server_args)
            self._write_settings()
        except BaseException:
            self.close()
            raise

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    # --- processes -----------------------------------------------------------

    def _spawn(self, argv, **kwargs):
        process = subprocess.Popen(argv, **kwargs)
        self.processes.append(process)
        return process

    def _start_xvfb(self):
        read_end, write_end = os.pipe()
        self._spawn(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                    pass_fds=(write_end,), stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as display:
            number = display.readline().strip()
        check(number.isdigit(), "Xvfb did not start")
        self.display = ":" + number

    def _start_accessibility_bus(self):
        # The session bus starts the accessibility bus and its registry on
        # first use; the registry generates key events on the display it was
        # started with, so the session bus learns the display first.
        subprocess.run(["dbus-update-activation-environment", "DISPLAY=" + self.display], check=True,
                       stdout=subprocess.DEVNULL)
        # This client finds the bus the same way: through the session bus or
        # the property the bus puts on this display's root window.
        os.environ["DISPLAY"] = self.display
        os.environ.pop("AT_SPI_BUS_ADDRESS", None)
        global pyatspi
        import pyatspi as client
        pyatspi = client

    def _start_logdb(self, rows, seed, server_args):
        self.db = os.path.join(self.work, "log.db")
        out_path = os.path.join(self.work, "logdb.out")
        with open(out_path, "w") as out, open(os.path.join(self.work, "logdb.err"), "w") as err:
            server = self._spawn([self.args.logdb, "--port", "0", "--database", "Sarnwick", "--user", "ops",
                                  "--password", PASSWORD, "--rows", str(rows), "--seed", str(seed), "--db", self.db,
                                  *server_args], stdout=out, stderr=err)
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline:
            with open(out_path) as out:
                match = re.search(r"^listening on 127\.0\.0\.1:(\d+)(?: sha256 (\S+))?$", out.read(), re.M)
            if match:
                self.port = match.group(1)
                self.fingerprint = match.group(2)
                return
            check(server.poll() is None, "quellmark-logdb ended before it listened")
            time.sleep(0.05)
        raise TestFailure("quellmark-logdb did not start")

    def _write_settings(self):
        self.app_dir = os.path.join(self.work, "app")
        os.mkdir(self.app_dir)
        subprocess.run([self.args.settings, "write", os.path.join(self.app_dir, "Sarnwick.mdb"),
                        "--type", "Remote SQL Authentication", "--timeout", "5", "--server", "127.0.0.1",
                        "--port", self.port, "--database", "Sarnwick", "--user", "ops", "--password-stdin"],
                       input=PASSWORD + "\n", text=True, check=True, stdout=subprocess.DEVNULL)
        # The server's certificate is pinned in a trust folder of this test,
        # which the window inherits.
        os.environ["QUELLMARK_TRUST_DIR"] = os.path.join(self.work, "trusted-servers")
        if self.fingerprint:
            subprocess.run([self.args.settings, "trust", os.path.join(self.app_dir, "Sarnwick.mdb"),
                            "--fingerprint", self.fingerprint], check=True, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL)

    def launch(self):
        """Starts Quellmark, gives its window the input focus as a window
        manager would, and finds it on the accessibility bus."""
        exe = os.path.join(self.app_dir, "Quellmark")
        shutil.copy(self.args.app, exe)
        env = dict(os.environ, DISPLAY=self.display, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_QPA_PLATFORM="xcb")
        if "ASAN_OPTIONS" in env:
            # LeakSanitizer's end-of-process scan crashes now and then on the
            # threads the accessibility bridge leaves running ("Tracer caught
            # signal 11"); the window's leaks are checked by the smoke tests,
            # which run the same build without the bridge.
            env["ASAN_OPTIONS"] += ":detect_leaks=0"
        self.app_err = os.path.join(self.work, "app.err")
        with open(self.app_err, "w") as err:
            self.app_process = self._spawn([exe], env=env, stderr=err)
        self.window_id = self._wait_for_window()
        self.xdotool("windowfocus", "--sync", self.window_id)
        self.app = self.wait_until(self._find_app, 30, "Quellmark on the accessibility bus")
        # Read every property afresh from the window, not from the client's cache.
        self.app.set_cache_mask(Atspi.Cache.NONE)
        self.frame = self.wait_until(lambda: next((w for w in self.app if w is not None and w.name == WINDOW_CAPTION), None), 10,
                                     "the main window on the accessibility bus")
        # Where the focus is, followed through the focus events: reading every
        # control's state takes a round trip each, which during a deletion run
        # the window answers only between passes.
        pyatspi.Registry.registerEventListener(self._on_focus, "object:state-changed:focused")
        self._listening.append(self._on_focus)
        self.pump()
        first = next((c for c in self.frame if c.getState().contains(pyatspi.STATE_FOCUSED)), None)
        self.focus = first.name if first is not None else None

    def _on_focus(self, event):
        # Nameless parts of a control (a text box's viewport) take the focus
        # along with it; the control is what has it.
        if event.detail1 == 1 and event.source is not None and event.source.name:
            self.focus = event.source.name

    def _wait_for_window(self):
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^" + WINDOW_CAPTION + "$"],
                                   env=dict(os.environ, DISPLAY=self.display), capture_output=True, text=True)
            if found.stdout.strip():
                return found.stdout.split()[0]
            check(self.app_process.poll() is None, "Quellmark ended at start:\n" + self._app_errors())
            time.sleep(0.1)
        raise TestFailure("the Quellmark window did not appear")

    def _find_app(self):
        for app in pyatspi.Registry.getDesktop(0):
            if app is not None and app.get_process_id() == self.app_process.pid and app.childCount > 0:
                return app
        return None

    def _app_errors(self):
        with open(self.app_err) as err:
            return err.read()

    def xdotool(self, *argv):
        subprocess.run(["xdotool", *argv], env=dict(os.environ, DISPLAY=self.display), check=True)

    def close_window(self):
        """Closes the window as a window manager does and checks that Quellmark
        exits cleanly (under the sanitizers this is when leaks are reported)."""
        subprocess.run([self.args.xclose, self.window_id], env=dict(os.environ, DISPLAY=self.display), check=True)
        try:
            status = self.app_process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            raise TestFailure("Quellmark did not exit after its window was closed")
        check(status == 0, "Quellmark exited with status %d:\n%s" % (status, self._app_errors()))

    def close(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                process.send_signal(signal.SIGKILL)
                process.wait()
        shutil.rmtree(self.work, ignore_errors=True)

    # --- the log server's table -------------------------------------------

    def count(self, where):
        with sqlite3.connect(self.db, timeout=30) as db:
            return db.execute("SELECT COUNT(*) FROM ATR_Log WHERE " + where).fetchone()[0]

    def mark(self, label, rows):
        """Gives the first `rows` rows the label `label`."""
        with sqlite3.connect(self.db, timeout=30) as db:
            db.execute("UPDATE ATR_Log SET label = ? WHERE log_id IN "
                       "(SELECT log_id FROM ATR_Log ORDER BY log_id LIMIT ?)", (label, rows))
        return self.count("label = '%s'" % label)

    # --- the accessibility bus -------------------------------------------

    def pump(self, seconds=0.0):
        """Lets the client's main loop deliver the events that have arrived."""
        context = GLib.MainContext.default()
        deadline = time.monotonic() + seconds
        while True:
            while context.iteration(False):
                pass
            if time.monotonic() >= deadline:
                return
            time.sleep(0.01)

    def wait_until(self, probe, seconds, what):
        deadline = time.monotonic() + seconds
        while True:
            self.pump()
            try:
                result = probe()
            except GLib.GError:
                # An object the probe read went away meanwhile (a window
                # closing): look again.
                result = None
            if result:
                return result
            if time.monotonic() >= deadline:
                raise TestFailure("timed out waiting for " + what)
            if self.app_process is not None:
                check(self.app_process.poll() is None, "Quellmark ended:\n" + self._app_errors())
            time.sleep(0.02)

    def record(self, *event_types):
        """Keeps every event of these types in self.events as (type, source, text)."""
        def on_event(event):
            data = event.any_data if isinstance(event.any_data, str) else ""
            self.events.append((event.type, event.source, data))
        for event_type in event_types:
            pyatspi.Registry.registerEventListener(on_event, event_type)
        self._listening.append(on_event)

    def controls(self, root=None):
        """Every object below root (the main window), depth first."""
        root = root or self.frame
        for child in root:
            yield child
            yield from self.controls(child)

    def find(self, role, name, root=None):
        matches = [c for c in self.controls(root) if c.getRoleName() == role and c.name == name]
        check(len(matches) == 1, "expected one %s named %r, found %d" % (role, name, len(matches)))
        return matches[0]

    def focus_name(self):
        """The name of the control that has the focus."""
        self.pump()
        return self.focus


def text_of(acc):
    text = acc.queryText()
    return text.getText(0, text.characterCount)


def has_state(acc, state):
    return acc.getState().contains(state)


def press(acc):
    """Runs a control's "Press" action, as a screen reader's activate command does."""
    action = acc.queryAction()
    names = [action.getName(i) for i in range(action.nActions)]
    check("Press" in names, "%s offers no Press action: %s" % (describe(acc), names))
    action.doAction(names.index("Press"))


def relation_targets(acc, relation):
    targets = []
    for r in acc.getRelationSet():
        if r.getRelationType() == relation:
            targets += [r.getTarget(i) for i in range(r.getNTargets())]
    return targets
