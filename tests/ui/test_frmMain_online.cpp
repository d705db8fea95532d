// The real window against quellmark-logdb: the buttons as the operator uses
// them, with clicks delivered through Qt's event system while a run pauses.
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>

#include "harness/kerberos_realm.h"
#include "harness/stopped_process.h"
#include "harness/template_filters.h"
#include "support/online_log.h"
#include "ui/frmMain.h"
#include "ui/message_box.h"
#include "ui/templates.h"

using quellmark::test::OnlineLog;
using quellmark::ui::frmMain;

namespace {

constexpr const char* kMarked = "label = 'purge-me'";
constexpr const char* kPurge = "DELETE TOP (1000) FROM ATR_Log WHERE label = 'purge-me'";

std::map<QString, bool> EnabledStates(const frmMain& window) {
    std::map<QString, bool> states;
    for (QWidget* w : window.findChildren<QWidget*>()) {
        if (!w->objectName().isEmpty() && w->objectName().contains(QRegularExpression("^(cbo|cmd|txt|lbl)")))
            states[w->objectName()] = w->isEnabled();
    }
    return states;
}

std::map<QString, bool> Expected(bool busy, bool cancelEnabled) {
    std::map<QString, bool> states;
    for (const char* name : {"cboSqlTemplate", "cmdCreateSql", "txtSqlQuery", "cmdCount", "cmdDelete", "cboChunks"})
        states[name] = !busy;
    for (const char* name :
         {"txtCopyPaste", "lblSqlTemplate", "lblChunks", "lblCopyPaste", "lblRecLeft", "txtCount", "txtRecLeft"})
        states[name] = true;
    states["cmdCancel"] = cancelEnabled;
    return states;
}

std::chrono::system_clock::time_point LocalNoon(int year, int month, int day) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = 12;
    t.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&t));
}

}  // namespace

class FrmMainOnlineTest : public QObject {
    Q_OBJECT

    QStringList messages_;

private slots:
    void init() {
        messages_.clear();
        quellmark::ui::SetMessageHook([this](const QString& text) { messages_ << text; });
    }
    void cleanup() {
        quellmark::ui::SetMessageHook({});
        quellmark::ui::SetClock({});
    }

    void everyTemplateCountsWhatTheServerHolds() {
        OnlineLog log(quellmark::test::SarnwickServer(4000, 21));
        // The seeded times end on 2026-01-01; a week before 2025-12-20 cuts them.
        quellmark::ui::SetClock([] { return LocalNoon(2025, 12, 20); });
        frmMain window;
        log.UseSettings();
        window.SettingsConnString = log.SettingsConnString();
        for (const auto& [name, where] : quellmark::test::kTemplateFilters) {
            window.cboSqlTemplate->setCurrentText(name);
            QTest::mouseClick(window.cmdCreateSql, Qt::LeftButton);
            window.txtCount->setText("-");
            QTest::mouseClick(window.cmdCount, Qt::LeftButton);
            QVERIFY2(messages_.isEmpty(), qPrintable(messages_.join('\n')));
            QCOMPARE(window.txtCount->text(), QString::number(log.server.CountRows(where)));
        }
        QVERIFY(log.server.CountRows("priority = 7") > log.server.CountRows("priority = 7 AND time < '2025-12-13'"));
        QVERIFY(log.server.CountRows("label = 'switch-01' AND oid = 'linkUp'") > 0);
        QCOMPARE(log.server.CountRows(), 4000);
    }

    void busyDuringARunAndCancelClickedInAPause() {
        OnlineLog log(quellmark::test::SarnwickServer(5000, 9));
        QCOMPARE(log.Mark("purge-me", 2000), 2000);
        frmMain window;
        window.show();
        log.UseSettings();
        window.SettingsConnString = log.SettingsConnString();
        QCOMPARE(EnabledStates(window), Expected(false, true));  // at start, Cancel too

        window.txtSqlQuery->setPlainText(kPurge);
        std::map<QString, bool> during;
        bool busyWhenClicked = false;
        QTimer::singleShot(50, &window, [&] {
            during = EnabledStates(window);
            busyWhenClicked = window.IsBusy();
            QTest::mouseClick(window.cmdCancel, Qt::LeftButton);
        });
        QTest::mouseClick(window.cmdDelete, Qt::LeftButton);  // returns when the run has ended

        QVERIFY(busyWhenClicked);
        QCOMPARE(during, Expected(true, true));
        QVERIFY2(messages_.isEmpty(), qPrintable(messages_.join('\n')));
        QCOMPARE(window.txtRecLeft->text(), QString("2000"));
        QCOMPARE(log.server.CountRows(kMarked), 1000);
        QCOMPARE(EnabledStates(window), Expected(false, false));
        QVERIFY(!window.IsBusy());

        // The next run goes to the end; the statement box kept its text.
        QCOMPARE(window.txtSqlQuery->toPlainText(), QString(kPurge));
        QTest::mouseClick(window.cmdDelete, Qt::LeftButton);
        QCOMPARE(window.txtRecLeft->text(), QString("0"));
        QCOMPARE(log.server.CountRows(kMarked), 0);
        QCOMPARE(log.server.CountRows(), 3000);
        QCOMPARE(EnabledStates(window), Expected(false, false));
    }

    void aFailedRunLeavesTheBusyState() {
        OnlineLog log(quellmark::test::SarnwickServer(5000, 9, {"--drop-after", "3"}));
        QCOMPARE(log.Mark("purge-me", 2000), 2000);
        frmMain window;
        log.UseSettings();
        window.SettingsConnString = log.SettingsConnString();
        window.txtSqlQuery->setPlainText(kPurge);
        QTest::mouseClick(window.cmdDelete, Qt::LeftButton);
        QCOMPARE(messages_.size(), 1);
        QVERIFY(!messages_[0].contains("s3cret"));
        QCOMPARE(window.txtRecLeft->text(), QString("1000"));
        QCOMPARE(log.server.CountRows(kMarked), 1000);  // the first chunk stays deleted
        QCOMPARE(EnabledStates(window), Expected(false, false));
    }

    // Each way a deletion run can fail: one message, the window idle again,
    // and the rows exactly as the statements answered before the failure
    // should have left them.
    void faultsEndInOneMessageAndAnIdleWindow_data() {
        QTest::addColumn<QStringList>("serverArgs");
        QTest::addColumn<QStringList>("settingsChanges");
        QTest::addColumn<QString>("settingsFile");  // "": as written; else how to break it
        QTest::addColumn<QString>("statement");
        QTest::addColumn<bool>("killInFirstPause");
        QTest::addColumn<int>("markedLeft");
        QTest::addColumn<QString>("mentions");
        const QString purge = kPurge;
        auto row = [&](const char* name, QStringList server, QStringList settings, QString file, QString statement,
                       bool kill, int left, QString mentions) {
            QTest::newRow(name) << server << settings << file << statement << kill << left << mentions;
        };
        row("settings file missing", {}, {}, "missing", purge, false, 2000, "Sarnwick.mdb");
        row("settings file empty", {}, {}, "empty", purge, false, 2000, "Sarnwick.mdb");
        row("settings file truncated", {}, {}, "truncated", purge, false, 2000, "Sarnwick.mdb");
        row("settings file random bytes", {}, {}, "random", purge, false, 2000, "Sarnwick.mdb");
        row("settings file is a folder", {}, {}, "folder", purge, false, 2000, "Sarnwick.mdb");
        row("settings table missing", {}, {"--no-table", "1"}, "", purge, false, 2000, "Settings_General");
        row("port null", {}, {"--port", OnlineLog::kNull}, "", purge, false, 2000, "OnlDbPort");
        row("time-out not a number", {}, {"--timeout", "abc", "--text-column", "OnlConnTimeout"}, "", purge, false,
            2000, "OnlConnTimeout");
        row("wrong password", {}, {"--password", "wrong"}, "", purge, false, 2000, "Login failed for user 'ops'.");
        row("login refused", {"--refuse-login"}, {}, "", purge, false, 2000, "Login failed");
        row("login hangs", {"--hang-login"}, {"--timeout", "2"}, "", purge, false, 2000, "127.0.0.1");
        row("dropped at the first delete", {"--drop-after", "1"}, {}, "", purge, false, 2000, "");
        row("dropped at the second count", {"--drop-after", "2"}, {}, "", purge, false, 1000, "");
        row("server killed in a pause", {}, {}, "", purge, true, 1000, "");
        row("misspelt column", {}, {}, "", "DELETE TOP (1000) FROM ATR_Log WHERE lable = 'purge-me'", false, 2000,
            "Invalid column name 'lable'.");
        row("server offers no encryption", {"--encryption", "none"}, {}, "", purge, false, 2000,
            "offers no encryption, so no login was sent");
        row("lower-case from", {}, {}, "", "DELETE TOP (1000) from ATR_Log WHERE label = 'purge-me'", false, 2000,
            "FROM ATR_Log");
    }

    void faultsEndInOneMessageAndAnIdleWindow() {
        QFETCH(QStringList, serverArgs);
        QFETCH(QStringList, settingsChanges);
        QFETCH(QString, settingsFile);
        QFETCH(QString, statement);
        QFETCH(bool, killInFirstPause);
        QFETCH(int, markedLeft);
        QFETCH(QString, mentions);

        std::vector<std::string> args;
        for (const QString& a : serverArgs) args.push_back(a.toStdString());
        OnlineLog log(quellmark::test::SarnwickServer(5000, 9, args));
        QCOMPARE(log.Mark("purge-me", 2000), 2000);
        const std::string others = log.server.Snapshot("label <> 'purge-me'");
        frmMain window;
        std::vector<std::string> changes;
        for (const QString& c : settingsChanges) changes.push_back(c.toStdString());
        if (!changes.empty() && changes[0] == "--no-table") {
            quellmark::test::WriteSettingsFile(log.SettingsFile(), {"--no-table"});
        } else {
            log.UseSettings(changes);
        }
        window.SettingsConnString = log.SettingsConnString();
        const std::filesystem::path file = log.SettingsFile();
        if (settingsFile == "missing") std::filesystem::remove(file);
        if (settingsFile == "empty") std::ofstream(file, std::ios::trunc).close();
        if (settingsFile == "truncated") std::filesystem::resize_file(file, std::filesystem::file_size(file) / 3);
        if (settingsFile == "random") {
            std::ofstream out(file, std::ios::binary | std::ios::trunc);
            std::uint32_t x = 2463534242u;
            for (int i = 0; i < 16384; ++i) {
                x ^= x << 13, x ^= x >> 17, x ^= x << 5;
                out.put(static_cast<char>(x));
            }
        }
        if (settingsFile == "folder") {
            std::filesystem::remove(file);
            std::filesystem::create_directory(file);
        }

        window.txtSqlQuery->setPlainText(statement);
        if (killInFirstPause) QTimer::singleShot(50, &window, [&] { log.server.Kill(); });
        QTest::mouseClick(window.cmdDelete, Qt::LeftButton);

        QCOMPARE(messages_.size(), 1);
        QVERIFY2(messages_[0].contains(mentions), qPrintable(messages_[0]));
        QVERIFY2(!messages_[0].contains("s3cret"), qPrintable(messages_[0]));
        QCOMPARE(EnabledStates(window), Expected(false, false));
        QCOMPARE(log.server.CountRows(kMarked), markedLeft);
        QVERIFY(log.server.Snapshot("label <> 'purge-me'") == others);
    }

    // A statement past the (here shortened) time limit: one message, the
    // window idle, and the rows as the statements before it left them.
    void aStatementPastTheTimeLimitEndsTheRun() {
        OnlineLog log(quellmark::test::SarnwickServer(5000, 9, {"--delay-ms", "8000", "--faults-after", "3"}));
        QCOMPARE(log.Mark("purge-me", 2000), 2000);
        const std::string others = log.server.Snapshot("label <> 'purge-me'");
        frmMain window;
        window.CommandTimeout = 2;
        log.UseSettings();
        window.SettingsConnString = log.SettingsConnString();
        window.txtSqlQuery->setPlainText(kPurge);
        QTest::mouseClick(window.cmdDelete, Qt::LeftButton);
        QCOMPARE(messages_.size(), 1);
        QVERIFY2(messages_[0].contains("did not finish the statement within 2 seconds, so it was cancelled."),
                 qPrintable(messages_[0]));
        QCOMPARE(EnabledStates(window), Expected(false, false));
        QCOMPARE(window.txtRecLeft->text(), QString("1000"));
        QCOMPARE(log.server.CountRows(kMarked), 1000);  // the second chunk was rolled back
        QVERIFY(log.server.Snapshot("label <> 'purge-me'") == others);
    }

    // The server stops (SIGSTOP) during a pause of a run and answers nothing
    // more. The run ends with one message; the server is resumed after it,
    // and the window serves the next count.
    void aStoppedServerEndsTheRunAndTheWindowServesOn() {
        OnlineLog log(quellmark::test::SarnwickServer(5000, 9));
        QCOMPARE(log.Mark("purge-me", 2000), 2000);
        frmMain window;
        window.CommandTimeout = 2;
        log.UseSettings();
        window.SettingsConnString = log.SettingsConnString();
        window.txtSqlQuery->setPlainText(kPurge);
        const pid_t server = log.server.Pid();
        bool stopped = false;
        QTimer::singleShot(50, &window, [&] { stopped = quellmark::test::StopProcess(server); });
        quellmark::ui::SetMessageHook([&](const QString& text) {
            messages_ << text;
            if (stopped) quellmark::test::ResumeProcess(server);
        });
        QTest::mouseClick(window.cmdDelete, Qt::LeftButton);
        QVERIFY(stopped);
        QCOMPARE(messages_.size(), 1);
        QVERIFY2(messages_[0].contains("Quellmark closed the connection"), qPrintable(messages_[0]));
        QVERIFY2(messages_[0].contains("stay deleted"), qPrintable(messages_[0]));
        QCOMPARE(EnabledStates(window), Expected(false, false));
        QCOMPARE(log.server.CountRows(kMarked), 1000);  // only the first pass's chunk is gone

        QTest::mouseClick(window.cmdCount, Qt::LeftButton);
        QCOMPARE(messages_.size(), 1);
        QCOMPARE(window.txtCount->text(), QString("1000"));
    }

    // A filter value with a no-break space reaches the server as it is, so
    // the statement matches exactly the rows the operator means.
    void aNoBreakSpaceInAFilterReachesTheServer() {
        OnlineLog log(quellmark::test::SarnwickServer(2000, 3));
        QCOMPARE(log.Mark("edge 01", 300), 300);
        QCOMPARE(log.Mark("edge\u00A001", 100), 100);  // the first 100 of them
        frmMain window;
        log.UseSettings();
        window.SettingsConnString = log.SettingsConnString();
        window.txtSqlQuery->setPlainText(
            QString::fromUtf8("DELETE TOP (1000) FROM ATR_Log WHERE label = 'edge\u00A001'"));
        QTest::mouseClick(window.cmdCount, Qt::LeftButton);
        QVERIFY2(messages_.isEmpty(), qPrintable(messages_.join('\n')));
        QCOMPARE(window.txtCount->text(), QString("100"));
        QTest::mouseClick(window.cmdDelete, Qt::LeftButton);
        QVERIFY2(messages_.isEmpty(), qPrintable(messages_.join('\n')));
        QCOMPARE(log.server.CountRows("label = 'edge\u00A001'"), 0);
        QCOMPARE(log.server.CountRows("label = 'edge 01'"), 200);
        QCOMPARE(log.server.CountRows(), 1900);
    }

    // Windows Authentication against a throwaway Kerberos realm: with a ticket
    // the run goes through; each Kerberos failure ends in one message that
    // says what to do, and the window idle.
    void windowsAuthentication_data() {
        QTest::addColumn<QString>("ticket");    // "valid", "none" or "expired"
        QTest::addColumn<bool>("registered");   // the server's service principal is known to the KDC
        QTest::addColumn<bool>("staleKeytab");  // the server holds an old key of it
        QTest::addColumn<QString>("mentions");  // "": the run succeeds
        QTest::newRow("with a ticket") << "valid" << true << false << "";
        QTest::newRow("no ticket") << "none" << true << false << "has none";
        QTest::newRow("expired ticket") << "expired" << true << false << "ticket of ops@QUELLMARK.TEST has expired";
        QTest::newRow("unknown service principal")
            << "valid" << false << false << "does not know the service principal MSSQLSvc/localhost:";
        QTest::newRow("server rejects the token")
            << "valid" << true << true << "did not accept the Kerberos ticket of ops@QUELLMARK.TEST";
    }

    void windowsAuthentication() {
        QFETCH(QString, ticket);
        QFETCH(bool, registered);
        QFETCH(bool, staleKeytab);
        QFETCH(QString, mentions);

        quellmark::test::KerberosRealm realm;
        OnlineLog log(quellmark::test::SarnwickServer(3000, 9, {"--kerberos-keytab", realm.Keytab()}));
        QCOMPARE(log.Mark("purge-me", 2000), 2000);
        const QString spn = "MSSQLSvc/localhost:" + QString::number(log.server.Port());
        if (registered) realm.RegisterService("localhost", log.server.Port());
        if (staleKeytab) realm.ChangeKey(spn.toStdString());
        if (ticket == "valid") realm.Kinit("ops");
        if (ticket == "expired") realm.KinitExpired("ops");
        frmMain window;  // its start-up points the settings at the program's folder
        log.UseSettings(
            {"--type", "Windows Authentication", "--server", "localhost," + std::to_string(log.server.Port())});
        window.SettingsConnString = log.SettingsConnString();
        window.txtSqlQuery->setPlainText(kPurge);
        QTest::mouseClick(window.cmdDelete, Qt::LeftButton);

        QCOMPARE(EnabledStates(window), Expected(false, false));
        if (mentions.isEmpty()) {
            QVERIFY2(messages_.isEmpty(), qPrintable(messages_.join('\n')));
            QCOMPARE(log.server.CountRows(kMarked), 0);
            return;
        }
        QCOMPARE(messages_.size(), 1);
        QVERIFY2(messages_[0].contains(mentions), qPrintable(messages_[0]));
        if (!registered) QVERIFY2(messages_[0].contains(spn), qPrintable(messages_[0]));
        QCOMPARE(log.server.CountRows(kMarked), 2000);
    }

    void closingDuringARunEndsItAfterThePass() {
        OnlineLog log(quellmark::test::SarnwickServer(5000, 9));
        QCOMPARE(log.Mark("purge-me", 2000), 2000);
        auto* window = new frmMain;
        window->setAttribute(Qt::WA_DeleteOnClose);
        QPointer<frmMain> alive(window);
        window->show();
        log.UseSettings();
        window->SettingsConnString = log.SettingsConnString();
        window->txtSqlQuery->setPlainText(kPurge);
        bool stillBusy = false;
        QTimer::singleShot(50, window, [&] {
            window->close();
            stillBusy = window->isVisible() && window->IsBusy();
        });
        QTest::mouseClick(window->cmdDelete, Qt::LeftButton);
        QVERIFY(stillBusy);  // the close waited for the pass under way
        QTRY_VERIFY(alive.isNull());
        QVERIFY(messages_.isEmpty());
        QCOMPARE(log.server.CountRows(kMarked), 1000);
    }
};

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Quellmark");
    FrmMainOnlineTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_frmMain_online.moc"
