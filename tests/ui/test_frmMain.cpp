// The real window, driven through its controls offscreen.
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QTest>

#include "ui/frmMain.h"
#include "ui/message_box.h"
#include "ui/templates.h"

using quellmark::ui::frmMain;

// "cmdCount on", "cmdCancel off": each control's enabled state as it changes.
class EnabledChanges : public QObject {
public:
    QStringList seen;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::EnabledChange) {
            const auto* widget = static_cast<QWidget*>(watched);
            seen << widget->objectName() + (widget->isEnabled() ? " on" : " off");
        }
        return false;
    }
};

class FrmMainTest : public QObject {
    Q_OBJECT

    QStringList messages_;

private slots:
    void init() {
        messages_.clear();
        quellmark::ui::SetMessageHook([this](const QString& text) { messages_ << text; });
        quellmark::ui::SetClock({});
    }
    void cleanup() {
        quellmark::ui::SetMessageHook({});
        quellmark::ui::SetClock({});
    }

    void controlsHaveTheirGeometryKindAndText_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QRect>("twips");
        auto row = [](const char* name, const char* kind, const char* text, int l, int t, int w, int h) {
            QTest::newRow(name) << QString(name) << QString(kind) << QString(text) << QRect(l, t, w, h);
        };
        row("cboSqlTemplate", "QComboBox", "Priority", 1440, 360, 4695, 315);
        row("cmdCreateSql", "QPushButton", "Create SQL", 120, 960, 1095, 375);
        row("txtSqlQuery", "QPlainTextEdit", "", 1440, 840, 4695, 2655);
        row("cmdDelete", "QPushButton", "Delete All Records", 6480, 1440, 2655, 375);
        row("cmdCancel", "QPushButton", "Cancel", 6480, 2880, 1455, 375);
        row("lblSqlTemplate", "QLabel", "SQL Template:", 120, 400, 1095, 255);
        row("cmdCount", "QPushButton", "Count Records", 6480, 840, 1455, 375);
        row("txtCount", "QLineEdit", "0", 8160, 880, 975, 285);
        row("cboChunks", "QComboBox", "2000", 240, 1920, 735, 315);
        row("lblChunks", "QLabel", "Chunks:", 240, 1680, 615, 255);
        row("txtRecLeft", "QLineEdit", "0", 7560, 1980, 975, 285);
        row("txtCopyPaste", "QPlainTextEdit", "", 1440, 3720, 4695, 1215);
        row("lblCopyPaste", "QLabel", "Copy/Paste Area", 120, 3840, 1215, 255);
        row("lblRecLeft", "QLabel", "Records Left:", 6480, 2040, 1095, 255);
    }

    void controlsHaveTheirGeometryKindAndText() {
        QFETCH(QString, name);
        QFETCH(QString, kind);
        QFETCH(QString, text);
        QFETCH(QRect, twips);
        frmMain window;
        QWidget* control = window.findChild<QWidget*>(name);
        QVERIFY2(control, qPrintable(name));
        QCOMPARE(QString(control->metaObject()->className()), kind);
        const auto px = [](int t) { return qRound(t / 15.0); };
        QCOMPARE(control->geometry(), QRect(px(twips.x()), px(twips.y()), px(twips.width()), px(twips.height())));
        QString shown;
        if (auto* b = qobject_cast<QPushButton*>(control)) shown = b->text();
        if (auto* l = qobject_cast<QLabel*>(control)) shown = l->text();
        if (auto* e = qobject_cast<QLineEdit*>(control)) shown = e->text();
        if (auto* p = qobject_cast<QPlainTextEdit*>(control)) shown = p->toPlainText();
        if (auto* c = qobject_cast<QComboBox*>(control)) shown = c->currentText();
        QCOMPARE(shown, text);
        QVERIFY(control->isEnabled());
        if (kind == "QLabel") QCOMPARE(control->focusPolicy(), Qt::NoFocus);
    }

    void captionsAndEntriesAreNotCutOff() {
        frmMain window;
        for (QLabel* label : window.findChildren<QLabel*>()) {
            QVERIFY2(label->fontMetrics().horizontalAdvance(label->text()) <= label->contentsRect().width(),
                     qPrintable(label->objectName()));
        }
        for (QPushButton* button : window.findChildren<QPushButton*>()) {
            QVERIFY2(button->fontMetrics().horizontalAdvance(button->text()) <= button->width() - 4,
                     qPrintable(button->objectName()));
        }
        for (QComboBox* list : window.findChildren<QComboBox*>()) {
            QStyleOptionComboBox option;
            option.initFrom(list);
            option.frame = list->hasFrame();
            const QRect field =
                list->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, list);
            for (int i = 0; i < list->count(); ++i) {
                QVERIFY2(list->fontMetrics().horizontalAdvance(list->itemText(i)) <= field.width(),
                         qPrintable(list->objectName() + ": " + list->itemText(i)));
            }
            QVERIFY(list->font().pointSizeF() >= 6.5);
        }
    }

    void windowIsFixedAndCaptioned() {
        frmMain window;
        QCOMPARE(window.windowTitle(), QString("  Quellmark"));
        QCOMPARE(window.size(), QSize(622, 344));
        QCOMPARE(window.minimumSize(), window.maximumSize());
        const QRect before = window.txtSqlQuery->geometry();
        window.resize(900, 700);
        QCOMPARE(window.size(), QSize(622, 344));
        QCOMPARE(window.txtSqlQuery->geometry(), before);
    }

    void listsAndBoxProperties() {
        frmMain window;
        QStringList templates;
        for (int i = 0; i < window.cboSqlTemplate->count(); ++i) {
            templates << window.cboSqlTemplate->itemText(i);
            QCOMPARE(window.cboSqlTemplate->itemData(i).toInt(), 0);
        }
        QCOMPARE(templates, QStringList({"Priority", "Priority AND Time", "Device", "Enterprise", "Trap", "Message",
                                         "Priority AND Device", "Device AND Enterprise", "Device AND Trap",
                                         "Device AND Message"}));
        QStringList chunks;
        for (int i = 0; i < window.cboChunks->count(); ++i) chunks << window.cboChunks->itemText(i);
        QCOMPARE(chunks, QStringList({"1000", "2000", "5000"}));
        QVERIFY(!window.cboSqlTemplate->isEditable());
        QVERIFY(!window.cboChunks->isEditable());

        QVERIFY(window.txtCount->isReadOnly());
        QVERIFY(window.txtRecLeft->isReadOnly());
        QCOMPARE(window.txtCount->palette().color(QPalette::Base), window.palette().color(QPalette::Button));
        QCOMPARE(window.txtRecLeft->palette().color(QPalette::Base), window.palette().color(QPalette::Button));

        for (QPlainTextEdit* box : {window.txtSqlQuery, window.txtCopyPaste}) {
            QCOMPARE(box->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
            QCOMPARE(box->lineWrapMode(), QPlainTextEdit::WidgetWidth);
        }
        const QFont font = window.txtSqlQuery->font();
        QCOMPARE(font.pointSizeF(), 8.25);
        QCOMPARE(font.weight(), QFont::Normal);
        QVERIFY2(QFontInfo(font).fixedPitch(), qPrintable(QFontInfo(font).family()));
        QVERIFY(window.txtCopyPaste->font() == window.font());
    }

    void startUpState() {
        frmMain window;
        QCOMPARE(window.cboSqlTemplate->currentIndex(), 0);
        QCOMPARE(window.cboChunks->currentIndex(), 1);
        QVERIFY(window.txtSqlQuery->toPlainText().isEmpty());
        QCOMPARE(window.txtCount->text(), QString("0"));
        QCOMPARE(window.txtRecLeft->text(), QString("0"));
        QVERIFY(window.cmdCancel->isEnabled());
        QCOMPARE(QString::fromStdString(window.AppPath), QCoreApplication::applicationDirPath());
        QCOMPARE(QString::fromStdString(window.SettingsConnString),
                 "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + QCoreApplication::applicationDirPath() +
                     "/Sarnwick.mdb;Persist Security Info=False");
    }

    // The operations the buttons start give each statement 30 seconds.
    void statementsAreGivenThirtySeconds() {
        frmMain window;
        QCOMPARE(window.CommandTimeout, 30);
    }

    void tabVisitsControlsInOrder() {
        frmMain window;
        window.show();
        QApplication::setActiveWindow(&window);
        QVERIFY(QTest::qWaitForWindowActive(&window));
        window.cboSqlTemplate->setFocus();
        QTRY_COMPARE(QApplication::focusWidget(), window.cboSqlTemplate);
        QStringList visited{QApplication::focusWidget()->objectName()};
        for (int i = 0; i < 10; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            visited << QApplication::focusWidget()->objectName();
        }
        QCOMPARE(visited,
                 QStringList({"cboSqlTemplate", "cmdCreateSql", "txtSqlQuery", "cmdDelete", "cmdCancel", "cmdCount",
                              "txtCount", "cboChunks", "txtRecLeft", "txtCopyPaste", "cboSqlTemplate"}));
    }

    void createSqlComposesReplacesAndIgnoresUnknownTemplates() {
        frmMain window;
        quellmark::ui::SetClock(
            [] { return std::chrono::system_clock::from_time_t(1772971200); });  // 2026-03-08 12:00 UTC
        QTest::mouseClick(window.cmdCreateSql, Qt::LeftButton);
        QCOMPARE(window.txtSqlQuery->toPlainText(), QString("DELETE TOP (2000) FROM ATR_Log WHERE priority = '7'"));

        // Typed text is lost, and a second press replaces rather than appends.
        QTest::keyClicks(window.txtSqlQuery, " AND label = 'x'");
        window.cboSqlTemplate->setCurrentText("Device AND Trap");
        window.cboChunks->setCurrentText("5000");
        QTest::mouseClick(window.cmdCreateSql, Qt::LeftButton);
        QCOMPARE(window.txtSqlQuery->toPlainText(),
                 QString("DELETE TOP (5000) FROM ATR_Log WHERE label = 'switch-01' AND oid = 'linkUp'"));

        // Changing the chunk list alone leaves the statement as it is.
        window.cboChunks->setCurrentText("1000");
        QVERIFY(window.txtSqlQuery->toPlainText().startsWith("DELETE TOP (5000)"));

        window.cboSqlTemplate->setCurrentText("Priority AND Time");
        QTest::mouseClick(window.cmdCreateSql, Qt::LeftButton);
        QVERIFY2(window.txtSqlQuery->toPlainText().startsWith(
                     "DELETE TOP (1000) FROM ATR_Log WHERE priority = '7' AND time < '2026-03-0"),
                 qPrintable(window.txtSqlQuery->toPlainText()));

        window.cboSqlTemplate->addItem("Everything");
        window.cboSqlTemplate->setCurrentText("Everything");
        window.txtSqlQuery->setPlainText("kept as it is");
        QTest::mouseClick(window.cmdCreateSql, Qt::LeftButton);
        QCOMPARE(window.txtSqlQuery->toPlainText(), QString("kept as it is"));
        QVERIFY(messages_.isEmpty());
    }

    void shortStatementsAreRefused() {
        frmMain window;
        for (QPushButton* button : {window.cmdCount, window.cmdDelete}) {
            messages_.clear();
            window.txtSqlQuery->setPlainText("123456789");
            QTest::mouseClick(button, Qt::LeftButton);
            QCOMPARE(messages_, QStringList{"Create a SQL Query First"});
            QVERIFY(window.cmdCancel->isEnabled());  // no run started

            // Ten characters, a line break among them, go on to the database
            // operation, which here fails on the missing settings file.
            messages_.clear();
            window.txtSqlQuery->setPlainText("12345\n6789");
            QTest::mouseClick(button, Qt::LeftButton);
            QCOMPARE(messages_.size(), 1);
            QVERIFY(messages_[0] != "Create a SQL Query First");
        }
    }

    // What the operations read is what the operator typed or pasted: only
    // the box's own line breaks are written "\n".
    void theStatementIsReadAsTyped() {
        frmMain window;
        window.show();
        const QString nbsp(QChar(0x00A0));
        const QString thin(QChar(0x2009));
        window.txtSqlQuery->setPlainText("DELETE TOP (10)\nFROM ATR_Log\r\nWHERE label = 'edge" + nbsp + "01'");
        QTest::keyClick(window.txtSqlQuery, Qt::Key_End, Qt::ControlModifier);
        QTest::keyClick(window.txtSqlQuery, Qt::Key_Return);
        QTest::keyClicks(window.txtSqlQuery, "AND");
        window.txtSqlQuery->insertPlainText("\ttime < '1" + thin + "2'");        // pasted
        QTest::keyClick(window.txtSqlQuery, Qt::Key_Return, Qt::ShiftModifier);  // a line break within the block
        QTest::keyClicks(window.txtSqlQuery, "  ");
        QCOMPARE(QString::fromStdString(window.SqlQueryText()),
                 "DELETE TOP (10)\nFROM ATR_Log\nWHERE label = 'edge" + nbsp + "01'\nAND\ttime < '1" + thin + "2'\n  ");
    }

    // After a run the controls come back in the window's order, and Cancel
    // goes last.
    void cancelIsDisabledAfterARunAndCancelWhileIdleDoesNothing() {
        frmMain window;
        QTest::mouseClick(window.cmdCancel, Qt::LeftButton);
        QVERIFY(window.CancelRequested());
        window.txtSqlQuery->setPlainText("DELETE TOP (1000) FROM ATR_Log WHERE priority = '7'");
        const QList<QWidget*> controls{window.cboSqlTemplate, window.cmdCreateSql, window.txtSqlQuery,
                                       window.cmdCount,       window.cmdDelete,    window.cboChunks};
        EnabledChanges changes;
        for (QWidget* w : controls + QList<QWidget*>{window.cmdCancel}) w->installEventFilter(&changes);
        QTest::mouseClick(window.cmdDelete, Qt::LeftButton);  // fails on the missing settings file
        QCOMPARE(messages_.size(), 1);
        QVERIFY(!window.CancelRequested());  // cleared when the run started
        QVERIFY(!window.cmdCancel->isEnabled());
        for (QWidget* w : controls) QVERIFY2(w->isEnabled(), qPrintable(w->objectName()));
        const QStringList back{"cboSqlTemplate on", "txtSqlQuery on", "cmdCreateSql on", "cmdCount on",
                               "cmdDelete on",      "cboChunks on",   "cmdCancel off"};
        QCOMPARE(changes.seen.mid(changes.seen.size() - back.size()), back);
    }

    // A fault that escapes an operation (here: the window's own message box
    // fails as the operation reports the missing settings file) is shown by
    // both buttons alike, and the window stays usable: the delete button
    // leaves its busy state.
    void anExceptionEscapingAnOperationIsShownByBothButtons() {
        struct BrokenWindow : frmMain {
            void ShowMessage(const std::string&) override { throw std::logic_error("the message box is gone"); }
        };
        BrokenWindow window;
        window.txtSqlQuery->setPlainText("DELETE TOP (1000) FROM ATR_Log WHERE priority = '7'");
        for (QPushButton* button : {window.cmdCount, window.cmdDelete}) {
            messages_.clear();
            QTest::mouseClick(button, Qt::LeftButton);
            QCOMPARE(messages_.size(), 1);
            QVERIFY2(messages_[0].startsWith("Quellmark stopped the operation because of an internal error: "),
                     qPrintable(messages_[0]));
            QVERIFY(!window.IsBusy());
            QVERIFY(window.cmdCount->isEnabled() && window.cmdDelete->isEnabled() && window.txtSqlQuery->isEnabled());
        }
    }
};

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Quellmark");
    FrmMainTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_frmMain.moc"
