// Quellmark: purges rows of the event log table ATR_Log, chunk by chunk.
#include <QApplication>

#include "data_access/data_access.h"
#include "ui/frmMain.h"

int main(int argc, char* argv[]) {
    quellmark::data_access::StartUp();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quellmark"));
    QApplication::setApplicationVersion(QStringLiteral(QUELLMARK_VERSION));
    QApplication::setOrganizationName(QStringLiteral("Quellmark"));
    quellmark::ui::frmMain window;
    window.show();
    return app.exec();
}
