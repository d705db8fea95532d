// The one window of Quellmark. The operator picks a template and a chunk size,
// Create SQL writes a DELETE TOP (n) statement into txtSqlQuery, Count Records
// counts the rows its filter matches into txtCount, and Delete All Records
// deletes them chunk by chunk, showing the rows left in txtRecLeft, while the
// window is busy and only Cancel (and the copy/paste area) stays usable.
// The database work lives in modGeneral; the buttons hand it this window,
// through the WindowPort it implements, and the settings file found at
// start-up.
#pragma once

#include <QWidget>
#include <cstdint>
#include <string>

#include "data_access/data_access.h"
#include "ops/window_port.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace quellmark::ui {

// Positions are given in twips; 15 twips make one device-independent pixel.
constexpr int TwipsToPixels(int twips) { return (twips + 7) / 15; }

class frmMain : public QWidget, public ops::WindowPort {
    Q_OBJECT
public:
    explicit frmMain(QWidget* parent = nullptr);
    ~frmMain() override;

    // The controls, named as the operator's documentation names them.
    QComboBox* cboSqlTemplate = nullptr;
    QPushButton* cmdCreateSql = nullptr;
    QPlainTextEdit* txtSqlQuery = nullptr;
    QPushButton* cmdDelete = nullptr;
    QPushButton* cmdCancel = nullptr;
    QLabel* lblSqlTemplate = nullptr;
    QPushButton* cmdCount = nullptr;
    QLineEdit* txtCount = nullptr;
    QComboBox* cboChunks = nullptr;
    QLabel* lblChunks = nullptr;
    QLineEdit* txtRecLeft = nullptr;
    QPlainTextEdit* txtCopyPaste = nullptr;
    QLabel* lblCopyPaste = nullptr;
    QLabel* lblRecLeft = nullptr;

    // Filled at start-up: the folder of the running executable, and the
    // connection string of the settings file Sarnwick.mdb in it, which every
    // operation reads afresh. (A test points it at a settings file of its own.)
    std::string AppPath;
    std::string SettingsConnString;
    // Seconds each statement of an operation may run (0: no limit).
    std::int32_t CommandTimeout = quellmark::data_access::kDefaultCommandTimeout;

    // True while a deletion run is active.
    bool IsBusy() const noexcept { return busy_; }

    // WindowPort
    std::string SqlQueryText() const override;
    void SetCountText(const std::string& text) override;
    void SetRecLeftText(const std::string& text) override;
    void ShowMessage(const std::string& text) override;
    void ProcessPendingEvents() override;
    bool CancelRequested() const override { return cancelRequested_; }
    void ClearCancelRequest() override { cancelRequested_ = false; }

public slots:
    void cmdCreateSql_Click();
    void cmdCount_Click();
    void cmdDelete_Click();
    void cmdCancel_Click();

protected:
    // Closing during a deletion run asks the run to stop as Cancel does; the
    // window closes once the pass under way has finished.
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildControls();
    // What a screen reader announces: each control's name (its caption's
    // words) and each caption tied to the control it labels. Nothing on
    // screen changes.
    void NameForAssistiveTechnology();
    void Form_Load();
    bool StatementLongEnough();
    // The two operations on this window and its settings file.
    void CountRecords();
    void DeleteRecordsInChunks();
    // Runs a database operation, showing any exception that escapes it.
    void RunOperation(void (frmMain::*operation)());
    void EnterBusyState();
    void LeaveBusyState();

    bool busy_ = false;
    bool closeAfterRun_ = false;
    bool cancelRequested_ = false;
};

}  // namespace quellmark::ui
