#include "ui/accessible_controls.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QComboBox>
#include <QLineEdit>

namespace quellmark::ui {
namespace {

// A non-editable drop-down list: its popup list as the one child (the items
// the operator can choose from), "ShowMenu" and "Press" open or close the
// popup, as Qt's own description does; the current entry is its text.
class AccessibleDropDown : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    explicit AccessibleDropDown(QComboBox* list) : QAccessibleWidget(list, QAccessible::ComboBox) {
        // Announce a new entry as the text replaced. The interface lives as
        // long as the list, so the connection does too.
        QObject::connect(list, &QComboBox::currentTextChanged, list,
                         [list, shown = list->currentText()](const QString& current) mutable {
                             if (QAccessible::isActive()) {
                                 QAccessibleTextUpdateEvent event(list, 0, shown, current);
                                 QAccessible::updateAccessibility(&event);
                             }
                             shown = current;
                         });
    }

    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::TextInterface) return static_cast<QAccessibleTextInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    int childCount() const override { return 1; }

    QAccessibleInterface* child(int index) const override {
        return index == 0 ? QAccessible::queryAccessibleInterface(List()->view()) : nullptr;
    }

    int indexOfChild(const QAccessibleInterface* child) const override {
        return child != nullptr && child->object() == List()->view() ? 0 : -1;
    }

    QAccessibleInterface* childAt(int /*x*/, int /*y*/) const override { return nullptr; }

    QString text(QAccessible::Text t) const override {
        switch (t) {
            case QAccessible::Name:
                return List()->accessibleName().isEmpty() ? List()->currentText() : List()->accessibleName();
            case QAccessible::Value:
                return List()->currentText();
            default:
                return QAccessibleWidget::text(t);
        }
    }

    QAccessible::State state() const override {
        QAccessible::State state = QAccessibleWidget::state();
        state.expandable = true;
        state.expanded = PopupShown();
        state.collapsed = !PopupShown();
        return state;
    }

    QStringList actionNames() const override {
        return QStringList{showMenuAction(), pressAction()} + QAccessibleWidget::actionNames();
    }

    void doAction(const QString& action) override {
        if (action != showMenuAction() && action != pressAction()) return QAccessibleWidget::doAction(action);
        if (PopupShown())
            List()->hidePopup();
        else
            List()->showPopup();
    }

    QStringList keyBindingsForAction(const QString& action) const override {
        if (action == showMenuAction() || action == pressAction()) return {QStringLiteral("Alt+Down")};
        return QAccessibleWidget::keyBindingsForAction(action);
    }

    // QAccessibleTextInterface: the current entry, read-only, no caret or selection.
    QString text(int startOffset, int endOffset) const override {
        return List()->currentText().mid(startOffset, endOffset - startOffset);
    }
    int characterCount() const override { return static_cast<int>(List()->currentText().size()); }
    void selection(int /*selectionIndex*/, int* startOffset, int* endOffset) const override {
        *startOffset = *endOffset = 0;
    }
    int selectionCount() const override { return 0; }
    void addSelection(int /*startOffset*/, int /*endOffset*/) override {}
    void removeSelection(int /*selectionIndex*/) override {}
    void setSelection(int /*selectionIndex*/, int /*startOffset*/, int /*endOffset*/) override {}
    int cursorPosition() const override { return 0; }
    void setCursorPosition(int /*position*/) override {}
    QRect characterRect(int /*offset*/) const override { return {}; }
    int offsetAtPoint(const QPoint& /*point*/) const override { return -1; }
    void scrollToSubstring(int /*startIndex*/, int /*endIndex*/) override {}
    QString attributes(int offset, int* startOffset, int* endOffset) const override {
        *startOffset = *endOffset = offset;
        return {};
    }

private:
    QComboBox* List() const { return static_cast<QComboBox*>(widget()); }
    bool PopupShown() const { return List()->view() != nullptr && List()->view()->isVisible(); }
};

// A read-only line: text a client can read, select and move the caret in
// (as the operator can), but not change.
class AccessibleReadOnlyLine : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    explicit AccessibleReadOnlyLine(QLineEdit* box) : QAccessibleWidget(box, QAccessible::EditableText) {}

    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::TextInterface) return static_cast<QAccessibleTextInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Value) return Box()->text();
        return QAccessibleWidget::text(t);
    }

    QAccessible::State state() const override {
        QAccessible::State state = QAccessibleWidget::state();
        state.readOnly = true;
        state.selectableText = true;
        return state;
    }

    // QAccessibleTextInterface
    QString text(int startOffset, int endOffset) const override {
        return Box()->text().mid(startOffset, endOffset - startOffset);
    }
    int characterCount() const override { return static_cast<int>(Box()->text().size()); }
    void selection(int selectionIndex, int* startOffset, int* endOffset) const override {
        *startOffset = *endOffset = 0;
        if (selectionIndex != 0 || !Box()->hasSelectedText()) return;
        *startOffset = Box()->selectionStart();
        *endOffset = Box()->selectionEnd();
    }
    int selectionCount() const override { return Box()->hasSelectedText() ? 1 : 0; }
    void addSelection(int startOffset, int endOffset) override { setSelection(0, startOffset, endOffset); }
    void removeSelection(int selectionIndex) override {
        if (selectionIndex == 0) Box()->deselect();
    }
    void setSelection(int selectionIndex, int startOffset, int endOffset) override {
        if (selectionIndex == 0) Box()->setSelection(startOffset, endOffset - startOffset);
    }
    int cursorPosition() const override { return Box()->cursorPosition(); }
    void setCursorPosition(int position) override { Box()->setCursorPosition(position); }
    QRect characterRect(int /*offset*/) const override { return {}; }
    int offsetAtPoint(const QPoint& point) const override {
        return Box()->cursorPositionAt(Box()->mapFromGlobal(point));
    }
    void scrollToSubstring(int /*startIndex*/, int /*endIndex*/) override {}
    QString attributes(int offset, int* startOffset, int* endOffset) const override {
        *startOffset = *endOffset = offset;
        return {};
    }

private:
    QLineEdit* Box() const { return static_cast<QLineEdit*>(widget()); }
};

QAccessibleInterface* ControlFactory(const QString& className, QObject* object) {
    if (className == QLatin1String("QComboBox")) {
        auto* list = qobject_cast<QComboBox*>(object);
        if (list != nullptr && !list->isEditable()) return new AccessibleDropDown(list);
    } else if (className == QLatin1String("QLineEdit")) {
        auto* box = qobject_cast<QLineEdit*>(object);
        if (box != nullptr && box->isReadOnly()) return new AccessibleReadOnlyLine(box);
    }
    return nullptr;
}

}  // namespace

void InstallAccessibleControls() {
    static const bool installed = [] {
        QAccessible::installFactory(ControlFactory);
        return true;
    }();
    (void)installed;
}

}  // namespace quellmark::ui
