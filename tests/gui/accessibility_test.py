#!/usr/bin/python3
"""The window as a screen reader sees it, through AT-SPI.

Starts an Xvfb, a session bus and the accessibility bus of its own, then the
window (gui_a11y_host, the real window with Qt's Linux accessibility bridge).
Reads the name, role and description of every control, then does a whole run
by keyboard alone: through all three pages, opening a received file and the
receiving folder, and publishing a file through the real open-file dialog.

    accessibility_test.py <gui_a11y_host>

Exits 77 (skipped) and says why when a program it needs is missing.
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SKIP = 77
AT_SPI_LAUNCHER = "/usr/libexec/at-spi-bus-launcher"

# Controls that Tab reaches, in reading order, per page shown; the navigation
# tiles and the bottom band belong to every page.
TOP = ["Welcome", "Phone to PC", "PC to Phone"]
BOTTOM = ["Close", "Technical Support", "tessary.example"]
TAB_ORDER = {
    "Welcome": TOP + ["Tessary"] + BOTTOM,
    "Phone to PC": TOP + ["QR code for the upload page", "Received files",
                          "Open receiving folder", "Change receiving folder"] + BOTTOM,
    "PC to Phone": TOP + ["QR code for the download page",
                          "Step 2 - Click Here to Select Files to Transfer to Phone",
                          "Files for the phone"] + BOTTOM,
}
# What a screen reader is given for each control: role, and the description
# (None: checked apart, as it depends on the run).
CONTROLS = {
    ("Welcome", "page tab"): "Shows the welcome page",
    ("Phone to PC", "page tab"): "Shows the QR code for sending files from the phone",
    ("PC to Phone", "page tab"): "Shows the QR code and the files for the phone",
    ("QR code for the upload page", "image"): None,
    ("QR code for the download page", "image"): None,
    ("Received files", "list"): "Files from the phone, in the receiving folder. "
                                "Arrow keys choose a file, Enter opens it.",
    ("Files for the phone", "list"): "The copies the phone can download. "
                                     "Arrow keys choose a file, Enter opens it.",
    ("Receiving folder", "text"): None,
    ("Open receiving folder", "push button"): None,
    ("Change receiving folder", "push button"):
        "Chooses another folder for the files from the phone",
    ("Step 2 - Click Here to Select Files to Transfer to Phone", "push button"):
        "Chooses the files the phone can download; Ctrl+V pastes files copied in a file manager, or copied text",
    ("Tessary", "push button"): "Shows the about text",
    ("Close", "push button"): "Closes Tessary and stops sharing files",
    ("Technical Support", "link"): "Opens the support page in the browser",
    ("tessary.example", "link"): "Opens the Tessary web site in the browser",
    ("Step 1 - Scan the QR code on your phone", "label"): "",
    ("using Camera or QR Code Scanner App", "label"): "",
    ("Step 2 - Select files to transfer on your phone. Transferred files will appear below "
     "instantly", "label"): "",
    ("Tessary File Receiving Folder:", "label"): "",
    ("The Wireless, Easy, Fast and Safe Way to Copy Files Between Phone and PC", "label"): "",
}


def skip(reason):
    print(f"skipped: {reason}")
    sys.exit(SKIP)


class Session:
    """Xvfb, a session bus and the accessibility bus; all stopped at the end."""

    def __init__(self, work):
        self.groups = []
        self.env = dict(os.environ)
        # -noreset: the accessibility bus's launcher connects and leaves before
        # the window comes; a server that resets then refuses the window.
        xvfb = self.start(["Xvfb", "-displayfd", "1", "-screen", "0", "1600x1000x24",
                           "-nolisten", "tcp", "-noreset"], stdout=subprocess.PIPE)
        self.env["DISPLAY"] = ":" + xvfb.stdout.readline().decode().strip()
        bus = self.start(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                         stdout=subprocess.PIPE)
        self.env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().decode().strip()
        self.env["XDG_RUNTIME_DIR"] = os.path.join(work, "run")
        os.makedirs(self.env["XDG_RUNTIME_DIR"], mode=0o700)
        self.start([AT_SPI_LAUNCHER, "--launch-immediately"])
        # pyatspi and the window find the buses through these.
        os.environ.update({k: self.env[k] for k in
                           ("DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR")})

    def start(self, argv, **kwargs):
        child = subprocess.Popen(argv, env=self.env, start_new_session=True, **kwargs)
        self.groups.append(child)
        return child

    def stop(self):
        for child in reversed(self.groups):
            try:
                os.killpg(child.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            try:
                child.wait(5)
            except subprocess.TimeoutExpired:
                os.killpg(child.pid, signal.SIGKILL)
                child.wait()


# Hands the bus's events to their listeners; set once the buses run.
pump_events = None


def wait_for(what, check, timeout=15.0):
    deadline = time.monotonic() + timeout
    while True:
        if pump_events:
            pump_events()
        value = check()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.1)


def main():
    host = sys.argv[1]
    for program, what in [("Xvfb", "Xvfb (package xvfb)"),
                          ("dbus-daemon", "dbus-daemon (package dbus-daemon)"),
                          (AT_SPI_LAUNCHER, "at-spi-bus-launcher (package at-spi2-core)")]:
        if not shutil.which(program):
            skip(f"{what} is missing")
    try:
        import pyatspi  # noqa: F401  (checked here, used once the buses run)
    except ImportError:
        skip("pyatspi is missing (package python3-pyatspi)")

    work = tempfile.mkdtemp(prefix="tessary-a11y-")
    session = None
    window = None
    try:
        session = Session(work)
        home = os.path.join(work, "home")
        os.makedirs(os.path.join(home, "config"))
        with open(os.path.join(home, "config", "user-dirs.dirs"), "w") as dirs:
            dirs.write('XDG_DOCUMENTS_DIR="$HOME/Documents"\n')
        opened_log = os.path.join(work, "opened.log")
        env = dict(session.env, HOME=home, XDG_CONFIG_HOME=os.path.join(home, "config"),
                   XDG_DATA_HOME=os.path.join(home, "data"), TESSARY_OPENED_LOG=opened_log,
                   QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
                   QT_ACCESSIBILITY="1")
        window = subprocess.Popen([host], env=env, start_new_session=True)
        Run(window, home, opened_log).all()
        print("ok: every control named; the keyboard run published a file and opened the "
              "receiving folder")
    finally:
        if window and window.poll() is None:
            window.kill()
            window.wait()
        if session:
            session.stop()
        shutil.rmtree(work, ignore_errors=True)


class Run:
    def __init__(self, window, home, opened_log):
        import pyatspi
        self.at = pyatspi
        self.window = window
        self.home = home
        self.opened_log = opened_log
        self.app = wait_for("the window on the accessibility bus", self.find_app, 30)
        # Popup menus are not children of the application: a screen reader
        # learns of them from the events they send, and so does this test.
        from gi.repository import GLib
        global pump_events
        context = GLib.MainContext.default()
        pump_events = lambda: [context.iteration(False) for _ in range(100) if context.pending()]
        self.menus = []
        self.at.Registry.registerEventListener(self.menu_shown, "object:state-changed:showing")

    def menu_shown(self, event):
        try:
            if event.source.getRoleName() != "popup menu":
                return
            menu = event.source
            items = [menu.getChildAtIndex(i).name for i in range(menu.childCount)]
        except Exception:  # gone before it could be read: it closed
            items = []
        self.menus.append((bool(event.detail1), items))

    # ---- reading the tree

    def find_app(self):
        desktop = self.at.Registry.getDesktop(0)
        for i in range(desktop.childCount):
            app = desktop.getChildAtIndex(i)
            if app is not None and app.name == os.path.basename(self.window.args[0]) \
                    and app.childCount > 0:
                return app
        return None

    def nodes(self, root=None, showing_only=False):
        """Every object below root (the application), depth first."""
        stack = [root or self.app]
        while stack:
            node = stack.pop()
            if node is None:
                continue
            yield node
            children = [node.getChildAtIndex(i) for i in range(node.childCount)]
            if showing_only:
                children = [c for c in children if c is not None and
                            c.getState().contains(self.at.STATE_SHOWING)]
            stack.extend(reversed(children))

    def find(self, name, role=None, showing=True):
        for node in self.nodes(showing_only=showing):
            if node.name == name and (role is None or node.getRoleName() == role):
                return node
        return None

    def focused(self):
        for node in self.nodes(showing_only=True):
            state = node.getState()
            # Qt marks a view's current item focused even when the view is
            # not; the view itself tells.
            if state.contains(self.at.STATE_FOCUSED) and node.getRoleName() not in \
                    ("frame", "dialog", "window", "filler", "panel", "list item"):
                return node
        return None

    def focused_name(self):
        node = self.focused()
        return node.name if node else None

    # ---- keys, as the keyboard sends them (XTest through the registry)

    def key(self, keysym):
        self.at.Registry.generateKeyboardEvent(keysym, None, self.at.KEY_SYM)
        time.sleep(0.15)

    # Key codes of Xvfb's keymap, for keys sent while Shift is held (a key
    # sent by its symbol has its modifiers set to what the symbol needs).
    SHIFT_CODE, F10_CODE = 50, 76

    def shifted(self, keycode):
        self.at.Registry.generateKeyboardEvent(self.SHIFT_CODE, None, self.at.KEY_PRESS)
        self.at.Registry.generateKeyboardEvent(keycode, None, self.at.KEY_PRESSRELEASE)
        self.at.Registry.generateKeyboardEvent(self.SHIFT_CODE, None, self.at.KEY_RELEASE)
        time.sleep(0.15)

    def type(self, text):
        self.at.Registry.generateKeyboardEvent(0, text, self.at.KEY_STRING)
        time.sleep(0.3)

    TAB, RETURN, SPACE, ESCAPE, DOWN, MENU = 0xFF09, 0xFF0D, 0x20, 0xFF1B, 0xFF54, 0xFF67

    def tab_to(self, name, limit=16):
        passed = []
        for _ in range(limit):
            passed.append(self.focused_name())
            if passed[-1] == name:
                return
            self.key(self.TAB)
        raise AssertionError(f"Tab never reached {name!r}, only {passed}")

    def tab_cycle(self):
        """The names Tab goes through, once round, from the focused control."""
        start = wait_for("a focused control", self.focused_name)
        names = [start]
        for _ in range(20):
            before = self.focused_name()
            self.key(self.TAB)
            now = wait_for(f"the focus to move on from {names}",
                           lambda: (self.focused_name() != before and self.focused_name()), 5)
            if now == start:
                return names
            names.append(now)
        raise AssertionError(f"Tab did not come round: {names}")

    def opened(self):
        if not os.path.exists(self.opened_log):
            return []
        with open(self.opened_log) as log:
            return log.read().splitlines()

    # ---- the checks

    def all(self):
        self.names_and_roles()
        self.welcome_page()
        received = self.phone_to_pc_page()
        self.pc_to_phone_page(received)
        self.close()

    def names_and_roles(self):
        seen = {}
        for node in self.nodes():
            seen.setdefault((node.name.strip(), node.getRoleName()), node)
        print("What a screen reader is given (name | role | description):")
        for (name, role), want in CONTROLS.items():
            node = seen.get((name, role))
            assert node is not None, f"no {role} named {name!r} among {sorted(seen)}"
            description = node.description
            print(f"  {name} | {role} | {description}")
            if want is not None:
                assert description == want, f"{name}: description {description!r}"
        upload = seen[("QR code for the upload page", "image")].description
        download = seen[("QR code for the download page", "image")].description
        assert upload.startswith("http://") and "/u/" in upload, upload
        assert download.startswith("http://") and "/d/" in download, download
        folder = seen[("Receiving folder", "text")].description
        assert folder.startswith(os.path.join(self.home, "Documents", "Tessary")), folder
        assert seen[("Open receiving folder", "push button")].description == folder
        # Whatever takes the focus has a name to be read out.
        for node in self.nodes():
            state = node.getState()
            if state.contains(self.at.STATE_FOCUSABLE) and node.getRoleName() != "list item":
                assert node.name.strip(), f"a focusable {node.getRoleName()} without a name"
        self.folder = folder

    def selected_tile(self):
        return [n for n in TOP if self.find(n, "page tab").getState().contains(
            self.at.STATE_CHECKED)]

    def welcome_page(self):
        assert self.selected_tile() == ["Welcome"]
        cycle = self.tab_cycle()
        start = cycle.index("Welcome")
        assert cycle[start:] + cycle[:start] == TAB_ORDER["Welcome"], cycle

    def phone_to_pc_page(self):
        # A file already in the receiving folder, to open from the view.
        received = os.path.join(self.folder, "from the phone.txt")
        with open(received, "w") as f:
            f.write("hello\n")
        self.tab_to("Phone to PC")
        self.key(self.RETURN)
        wait_for("the phone-to-PC page", lambda: self.selected_tile() == ["Phone to PC"])
        cycle = self.tab_cycle()
        start = cycle.index("Welcome")
        assert cycle[start:] + cycle[:start] == TAB_ORDER["Phone to PC"], cycle

        # The QR code's menu from the keyboard, both ways.
        self.tab_to("QR code for the upload page")
        for open_menu in (lambda: self.shifted(self.F10_CODE), lambda: self.key(self.MENU)):
            self.menus.clear()
            open_menu()
            wait_for("the QR code's menu", lambda: self.menus and self.menus[0][0])
            assert "Copy link" in self.menus[0][1], self.menus
            self.key(self.ESCAPE)
            wait_for("the menu to close", lambda: self.menus[-1][0] is False)
            wait_for("the focus back on the code",
                     lambda: self.focused_name() == "QR code for the upload page")

        self.tab_to("Received files")
        view = self.focused()
        wait_for("the received file listed", lambda: view.childCount >= 1)
        self.key(self.DOWN)
        self.key(self.RETURN)
        wait_for("the received file opened", lambda: received in self.opened())

        self.tab_to("Open receiving folder")
        self.key(self.SPACE)
        wait_for("the receiving folder opened",
                 lambda: self.opened() and self.opened()[-1] == self.folder)
        return received

    def pc_to_phone_page(self, received):
        self.tab_to("PC to Phone")
        self.key(self.SPACE)
        wait_for("the PC-to-phone page", lambda: self.selected_tile() == ["PC to Phone"])
        cycle = self.tab_cycle()
        start = cycle.index("Welcome")
        assert cycle[start:] + cycle[:start] == TAB_ORDER["PC to Phone"], cycle

        self.tab_to("Step 2 - Click Here to Select Files to Transfer to Phone")
        self.key(self.RETURN)
        # The open-file dialog takes the keyboard at its file name box.
        wait_for("the open-file dialog", lambda: self.focused() is not None and
                 self.focused().getRoleName() in ("text", "entry") and
                 self.focused_name() != "Receiving folder")
        self.type(received)
        self.key(self.RETURN)
        note = wait_for("the publishing note", lambda: self.find_note("1 file was transferred"),
                        20)
        print(f"  the note reads: {note}")
        listed = wait_for("the copy in the view",
                          lambda: self.find("from the phone.txt", "list item"))
        assert listed is not None
        copies = [os.path.join(d, f) for d, _, files in os.walk(self.home) for f in files
                  if f == "from the phone.txt" and os.path.basename(d) == "dfiles"]
        assert len(copies) == 1, copies

    def find_note(self, start):
        for node in self.nodes(showing_only=True):
            if node.getRoleName() == "label" and node.name.startswith(start):
                return node.name
        return None

    def close(self):
        # As the desktop closes it: no window manager runs here to hand the
        # keyboard back to the window once the dialog has gone.
        self.window.terminate()
        self.window.wait(15)
        assert self.window.returncode == 0, self.window.returncode


if __name__ == "__main__":
    main()
