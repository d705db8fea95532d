#!/usr/bin/python3
"""The Quellmark window through the accessibility bus alone, as a screen reader
meets it: every control found by role and name, the captions tied to what they
label, then a whole purge (template, chunk size, Create SQL, the filter edited
through the editable-text interface, Count Records, Delete All Records with
Records Left read until it reaches 0) and a failure's message box, against the
test log server. Run under dbus-run-session."""

import accessibility_session as a11y
from accessibility_session import Session, TestFailure, check, describe, has_state, press, text_of

# The window's children as the bus shows them, in the window's order.
TREE = [
    ("combo box", "SQL Template"),
    ("push button", "Create SQL"),
    ("text", "Delete statement"),
    ("push button", "Delete All Records"),
    ("push button", "Cancel"),
    ("label", "SQL Template:"),
    ("push button", "Count Records"),
    ("text", "Count"),
    ("combo box", "Chunks"),
    ("label", "Chunks:"),
    ("text", "Records Left"),
    ("text", "Copy/Paste Area"),
    ("label", "Copy/Paste Area"),
    ("label", "Records Left:"),
]

# Caption -> the control it labels.
LABELS = {
    "SQL Template:": ("combo box", "SQL Template"),
    "Chunks:": ("combo box", "Chunks"),
    "Copy/Paste Area": ("text", "Copy/Paste Area"),
    "Records Left:": ("text", "Records Left"),
}

MARK = "purge-me"
MARKED_ROWS = 2500
KEY_DOWN, KEY_UP = 0xFF54, 0xFF52  # X keysyms


def print_tree(s):
    print("the window as the accessibility bus shows it:")
    for child in s.frame:
        states = child.getState()
        flags = [n for n, st in (("read-only", a11y.pyatspi.STATE_READ_ONLY),
                                 ("focusable", a11y.pyatspi.STATE_FOCUSABLE)) if states.contains(st)]
        labelled = [c.name for c in a11y.relation_targets(child, a11y.pyatspi.RELATION_LABELLED_BY)]
        print("  %-12s %-20r%s%s" % (child.getRoleName(), child.name,
                                    " labelled by %r" % labelled[0] if labelled else "",
                                    " (" + ", ".join(flags) + ")" if flags else ""))


def check_tree(s):
    shown = [(c.getRoleName(), c.name) for c in s.frame]
    check(shown == TREE, "the window's children are\n  %s\nnot\n  %s" % (shown, TREE))

    for caption, (role, name) in LABELS.items():
        label = s.find("label", caption)
        control = s.find(role, name)
        label_for = [describe(t) for t in a11y.relation_targets(label, a11y.pyatspi.RELATION_LABEL_FOR)]
        labelled_by = [describe(t) for t in a11y.relation_targets(control, a11y.pyatspi.RELATION_LABELLED_BY)]
        check(label_for == [describe(control)], "%s is a label for %s" % (describe(label), label_for))
        check(labelled_by == [describe(label)], "%s is labelled by %s" % (describe(control), labelled_by))

    for role, name in (("combo box", "SQL Template"), ("combo box", "Chunks")):
        choice = s.find(role, name)
        entries = [item.name for item in choice[0]]
        check(text_of(choice) in entries, "%s shows %r, not one of %s" % (describe(choice), text_of(choice), entries))

    # The two number boxes: read-only text a screen reader reads on focus.
    for name in ("Count", "Records Left"):
        box = s.find("text", name)
        check(has_state(box, a11y.pyatspi.STATE_READ_ONLY), "%s is not read-only" % describe(box))
        check(has_state(box, a11y.pyatspi.STATE_FOCUSABLE), "%s cannot take the focus" % describe(box))
        check(text_of(box) == "0", "%s reads %r at start" % (describe(box), text_of(box)))
        # Writing through the bus must not change what the window shows.
        try:
            box.queryEditableText().insertText(0, "9", 1)
        except NotImplementedError:
            pass
        s.pump(0.2)
        check(text_of(box) == "0", "%s took text from the bus: %r" % (describe(box), text_of(box)))
    statement = s.find("text", "Delete statement")
    check(not has_state(statement, a11y.pyatspi.STATE_READ_ONLY), "the statement box is read-only")


def choose(s, choice, wanted, key):
    """Chooses an entry the way a screen reader user does: focus the list,
    then arrow keys (sent through the bus's key synthesis) until it reads
    `wanted`; checks that each change was announced as the list's new text."""
    choice.queryComponent().grabFocus()
    s.wait_until(lambda: has_state(choice, a11y.pyatspi.STATE_FOCUSED), 10, describe(choice) + " to take the focus")
    for _ in range(choice[0].childCount):
        if text_of(choice) == wanted:
            break
        before = text_of(choice)
        a11y.pyatspi.Registry.generateKeyboardEvent(key, None, a11y.pyatspi.KEY_SYM)
        s.wait_until(lambda: text_of(choice) != before, 10, describe(choice) + " to move on from " + before)
    check(text_of(choice) == wanted, "%s reads %r, not %r" % (describe(choice), text_of(choice), wanted))
    announced = [text for kind, source, text in s.events
                 if kind == "object:text-changed:insert" and describe(source) == describe(choice)]
    check(announced and announced[-1] == wanted, "%s announced %s" % (describe(choice), announced))


def inserted(s, name):
    """What the text box `name` announced as inserted text, in order."""
    return [text for kind, source, text in s.events
            if kind == "object:text-changed:insert" and source.name == name]


def purge(s):
    before_total = s.count("1 = 1")
    template = s.find("combo box", "SQL Template")
    chunks = s.find("combo box", "Chunks")
    statement = s.find("text", "Delete statement")
    count = s.find("text", "Count")
    records_left = s.find("text", "Records Left")
    delete = s.find("push button", "Delete All Records")
    cancel = s.find("push button", "Cancel")

    choose(s, template, "Device", KEY_DOWN)
    choose(s, chunks, "1000", KEY_UP)
    press(s.find("push button", "Create SQL"))
    composed = "DELETE TOP (1000) FROM ATR_Log WHERE label = 'switch-01'"
    s.wait_until(lambda: text_of(statement) == composed, 10, "Create SQL to write " + composed)

    # Edit the filter value in place, as typed text.
    editable = statement.queryEditableText()
    start = composed.index("switch-01")
    editable.deleteText(start, start + len("switch-01"))
    editable.insertText(start, MARK, len(MARK))
    purge_statement = "DELETE TOP (1000) FROM ATR_Log WHERE label = '%s'" % MARK
    s.wait_until(lambda: text_of(statement) == purge_statement, 10, "the edited statement")

    press(s.find("push button", "Count Records"))
    s.wait_until(lambda: text_of(count) == str(MARKED_ROWS), 30, "Count to read %d" % MARKED_ROWS)
    check(inserted(s, "Count")[-1:] == [str(MARKED_ROWS)], "Count announced %s" % inserted(s, "Count"))

    s.events.clear()
    press(delete)
    # While the run is under way only Cancel of the buttons can be pressed.
    s.wait_until(lambda: text_of(records_left) == "1500", 30, "Records Left to read 1500 during the run")
    check(not has_state(delete, a11y.pyatspi.STATE_SENSITIVE), "Delete All Records is usable during a run")
    check(has_state(cancel, a11y.pyatspi.STATE_SENSITIVE), "Cancel is not usable during a run")
    s.wait_until(lambda: has_state(delete, a11y.pyatspi.STATE_SENSITIVE), 60, "the run to end")
    check(text_of(records_left) == "0", "Records Left reads %r after the run" % text_of(records_left))

    # Every figure the run showed was announced, counting down to 0.
    figures = [int(t) for t in inserted(s, "Records Left")]
    check(figures[:4] == [2500, 1500, 500, 0] and set(figures[4:]) <= {0},
          "Records Left announced %s" % figures)
    check(s.count("label = '%s'" % MARK) == 0, "marked rows are left on the server")
    check(s.count("1 = 1") == before_total - MARKED_ROWS, "the run deleted other rows")


def failure_message(s):
    statement = s.find("text", "Delete statement")
    count = s.find("text", "Count")
    shown_count = text_of(count)
    editable = statement.queryEditableText()
    start = text_of(statement).index("label =")
    editable.deleteText(start, start + len("label"))
    editable.insertText(start, "lable", len("lable"))
    s.events.clear()
    press(s.find("push button", "Count Records"))

    def alert():
        # A window that closes while its application's children are read
        # comes back as None.
        return next((w for w in s.app if w is not None and w.getRoleName() == "alert"), None)

    box = s.wait_until(alert, 30, "a message box")
    check(box.name == "Quellmark", "the message box is named %r" % box.name)
    message = [c.name for c in s.controls(box) if c.getRoleName() == "label" and c.name]
    check(len(message) == 1 and "lable" in message[0], "the message box shows %s" % message)
    check(box.description == message[0], "the alert's description is %r, not the message %r"
          % (box.description, message[0]))
    s.wait_until(lambda: any(kind == "window:activate" and source.getRoleName() == "alert"
                             for kind, source, _ in s.events), 10, "the alert to be announced (window:activate)")
    print("the failure's alert: %r, %r" % (box.name, box.description))

    press(s.find("push button", "OK", root=box))
    s.wait_until(lambda: alert() is None, 10, "the message box to close")
    check(text_of(count) == shown_count, "Count changed after a failure: %r" % text_of(count))


def main():
    args = a11y.arguments()
    with Session(args, rows=30000) as s:
        check(s.mark(MARK, MARKED_ROWS) == MARKED_ROWS, "could not mark rows")
        s.launch()
        s.record("object:text-changed:insert", "window:activate")
        print_tree(s)
        check_tree(s)
        purge(s)
        failure_message(s)
        s.close_window()
    print("a whole purge and a failure ran through the accessibility bus alone")


if __name__ == "__main__":
    a11y.run(main)
