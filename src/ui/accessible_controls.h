// What assistive technology (a screen reader, through the desktop's
// accessibility bus) is told about two kinds of the window's controls, where
// Qt's own descriptions fall short:
//
// - A drop-down list: on Linux Qt names it by the entry it currently shows and
//   ignores its accessible name, so the two lists would be announced as
//   "Priority" and "2000" with nothing saying what they choose. Here it is
//   named by its accessible name (the current entry when it has none) and the
//   current entry is its read-only text, where a screen reader looks for a
//   list's value when the list offers no selection of its own; a change of
//   entry is announced as a change of that text.
// - A read-only line (the Count and Records Left boxes): Qt lets a client
//   write into it through the editable-text interface although the operator
//   cannot. Here it is read-only text, with no editable-text interface; its
//   changes are announced as Qt announces a line's.
#pragma once

namespace quellmark::ui {

// Installed before the controls are first described; idempotent; needs a
// QApplication.
void InstallAccessibleControls();

}  // namespace quellmark::ui
