#!/usr/bin/python3
"""The Quellmark window with the keyboard alone: from start-up, Tab visits the
controls in the window's tab order, and Tab and Space reach Create SQL, Count
Records, Delete All Records and, during the run, Cancel. Keys go to the real
window under Xvfb (XTest); the accessibility bus is only watched, to see where
the focus is and what the window shows. Run under dbus-run-session."""

import accessibility_session as a11y
from accessibility_session import Session, TestFailure, check, has_state, text_of

TAB_ORDER = ["SQL Template", "Create SQL", "Delete statement", "Delete All Records", "Cancel", "Count Records",
             "Count", "Chunks", "Records Left", "Copy/Paste Area"]
PRIORITY = "priority = 7"


def key(s, name):
    s.xdotool("key", name)


def tab_to(s, name):
    """Presses Tab until `name` has the focus, checking that each Tab moves to
    the next usable control of the tab order."""
    for _ in range(len(TAB_ORDER)):
        current = s.focus_name()
        if current == name:
            return
        key(s, "Tab")
        s.wait_until(lambda: s.focus_name() != current, 10, "Tab to move the focus on from %r" % current)
        check(s.focus_name() in TAB_ORDER, "Tab moved the focus to %r" % s.focus_name())
    raise TestFailure("Tab never reached %r" % name)


def main():
    args = a11y.arguments()
    # Each statement takes a little longer, so that the run lasts long enough
    # for the keyboard to cancel it.
    with Session(args, rows=100000, server_args=("--delay-ms", "300")) as s:
        s.launch()
        before = s.count(PRIORITY)
        others = s.count("NOT (%s)" % PRIORITY)
        check(before > 4 * 2000, "the seeded data should hold several chunks of priority 7")

        # Focus starts at the first control; one round of Tab visits every
        # control in order and comes back.
        s.wait_until(lambda: s.focus_name() == TAB_ORDER[0], 10, "the focus on %r at start" % TAB_ORDER[0])
        visited = []
        for _ in TAB_ORDER:
            current = s.focus_name()
            key(s, "Tab")
            s.wait_until(lambda: s.focus_name() != current, 10, "Tab to move on from %r" % current)
            visited.append(s.focus_name())
        check(visited == TAB_ORDER[1:] + TAB_ORDER[:1], "Tab visited %s" % visited)

        statement = s.find("text", "Delete statement")
        tab_to(s, "Create SQL")
        key(s, "space")
        composed = "DELETE TOP (2000) FROM ATR_Log WHERE priority = '7'"
        s.wait_until(lambda: text_of(statement) == composed, 10, "Space on Create SQL to write " + composed)

        count = s.find("text", "Count")
        tab_to(s, "Count Records")
        key(s, "space")
        s.wait_until(lambda: text_of(count) == str(before), 30, "Space on Count Records to count %d" % before)

        delete = s.find("push button", "Delete All Records")
        cancel = s.find("push button", "Cancel")
        left = before
        # Twice: the first run starts with Cancel usable, so the focus moves
        # from Delete All Records straight to it; the second starts with
        # Cancel unusable, and Tab has to reach it while the run goes on.
        for run in (1, 2):
            tab_to(s, "Delete All Records")
            key(s, "space")
            s.wait_until(lambda: not has_state(delete, a11y.pyatspi.STATE_SENSITIVE), 10, "run %d to start" % run)
            tab_to(s, "Cancel")
            check(not has_state(delete, a11y.pyatspi.STATE_SENSITIVE), "run %d ended before Tab reached Cancel" % run)
            key(s, "space")
            s.wait_until(lambda: has_state(delete, a11y.pyatspi.STATE_SENSITIVE), 60, "cancelled run %d to end" % run)
            check(not has_state(cancel, a11y.pyatspi.STATE_SENSITIVE), "Cancel stays usable after run %d" % run)
            now = s.count(PRIORITY)
            check(0 < now < left, "Cancel did not stop run %d: %d rows left of %d" % (run, now, left))
            left = now

        check(s.count("NOT (%s)" % PRIORITY) == others, "the runs deleted other rows")
        print("Tab and Space ran Create SQL, Count Records, Delete All Records and Cancel twice: %d of %d rows left"
              % (left, before))
        s.close_window()


if __name__ == "__main__":
    a11y.run(main)
