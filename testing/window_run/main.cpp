// quellmark-window-run: the real window, offscreen, pressing Delete All
// Records once, for tests that need a deletion run of the window in a
// process of its own (a private mount namespace, say).
//
//   quellmark-window-run SETTINGS_FILE STATEMENT [--cancel]
//
// The statement goes into the statement box; --cancel presses Cancel at the
// first events the run processes (its first pause). Each message box's text
// is printed as "message: TEXT", then "records left: TEXT" from the Records
// Left box. Exit status 0, or 64 for a wrong command line.
#include <QApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ops/settings_file.h"
#include "ui/frmMain.h"
#include "ui/message_box.h"

int main(int argc, char* argv[]) {
    if (argc < 3 || argc > 4 || (argc == 4 && std::string(argv[3]) != "--cancel")) {
        std::fputs("usage: quellmark-window-run SETTINGS_FILE STATEMENT [--cancel]\n", stderr);
        return 64;
    }
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quellmark"));
    quellmark::ui::SetMessageHook([](const QString& text) {
        std::printf("message: %s\n", text.toUtf8().constData());
        std::fflush(stdout);
    });
    quellmark::ui::frmMain window;
    window.SettingsConnString = quellmark::ops::SettingsConnStringForFile(argv[1]);
    window.txtSqlQuery->setPlainText(QString::fromUtf8(argv[2]));
    if (argc == 4) QTimer::singleShot(0, window.cmdCancel, &QPushButton::click);
    window.cmdDelete->click();
    std::printf("records left: %s\n", window.txtRecLeft->text().toUtf8().constData());
    return 0;
}
