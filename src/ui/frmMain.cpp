#include "ui/frmMain.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFont>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QTextDocument>
#include <algorithm>

#include "ops/modGeneral.h"
#include "ops/settings_file.h"
#include "ui/accessible_controls.h"
#include "ui/message_box.h"
#include "ui/templates.h"

namespace quellmark::ui {
namespace {

constexpr int kMinimumStatementLength = 10;
const char* const kNoStatement = "Create a SQL Query First";

void Place(QWidget* control, const char* name, int left, int top, int width, int height) {
    control->setObjectName(QString::fromLatin1(name));
    control->setGeometry(TwipsToPixels(left), TwipsToPixels(top), TwipsToPixels(width), TwipsToPixels(height));
}

QFont StatementFont() {
    QFont font(QStringLiteral("Courier New"));
    font.setPointSizeF(8.25);
    font.setWeight(QFont::Normal);
    font.setStyleHint(QFont::TypeWriter, QFont::PreferMatch);
    font.setFixedPitch(true);
    if (!QFontInfo(font).fixedPitch()) {
        QFont fallback = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        fallback.setPointSizeF(8.25);
        fallback.setWeight(QFont::Normal);
        return fallback;
    }
    return font;
}

// The classic dialog font: a sans-serif face at 8.25 points, which the
// layout's label and button sizes are made for.
QFont WindowFont() {
    QFont font;
    font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
                      QStringLiteral("Liberation Sans"), QStringLiteral("Arial")});
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(8.25);
    return font;
}

QPlainTextEdit* MultiLineBox(QWidget* parent) {
    auto* box = new QPlainTextEdit(parent);
    box->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    box->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    box->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    box->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    box->setTabChangesFocus(true);
    return box;
}

QLineEdit* NumberBox(QWidget* parent) {
    auto* box = new QLineEdit(QStringLiteral("0"), parent);
    box->setReadOnly(true);
    QPalette palette = box->palette();
    palette.setColor(QPalette::Base, palette.color(QPalette::Button));
    box->setPalette(palette);
    return box;
}

QLabel* Label(const char* caption, QWidget* parent) {
    auto* label = new QLabel(QString::fromLatin1(caption), parent);
    label->setFocusPolicy(Qt::NoFocus);
    return label;
}

// The layout was made for a narrow classic dialog face; with a wider
// substitute a caption or list entry can be cut off by its fixed control. The
// control's font is then reduced, in quarter points, until every text fits.
void ShrinkFontToFit(QWidget* control, const QStringList& texts, int available) {
    QFont font = control->font();
    auto widest = [&](const QFont& f) {
        const QFontMetrics metrics(f);
        int width = 0;
        for (const QString& text : texts) width = std::max(width, metrics.horizontalAdvance(text));
        return width;
    };
    while (widest(font) > available && font.pointSizeF() > 6.5) font.setPointSizeF(font.pointSizeF() - 0.25);
    if (font != control->font()) control->setFont(font);
}

void FitLabel(QLabel* label) { ShrinkFontToFit(label, {label->text()}, label->contentsRect().width()); }

void FitList(QComboBox* list) {
    QStyleOptionComboBox option;
    option.initFrom(list);
    option.editable = list->isEditable();
    option.frame = list->hasFrame();
    const QRect field = list->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, list);
    QStringList entries;
    for (int i = 0; i < list->count(); ++i) entries << list->itemText(i);
    ShrinkFontToFit(list, entries, field.width() - 2);
}

// A text box's text exactly as the operator typed or pasted it, its line
// breaks written "\n". (toPlainText would also turn no-break spaces into
// plain ones, and a filter value with one would then match other rows.)
QString TypedText(const QPlainTextEdit& box) {
    QString text = box.document()->toRawText();
    for (QChar& c : text) {
        if (c == QChar::ParagraphSeparator || c == QChar::LineSeparator) c = u'\n';
    }
    return text;
}

QComboBox* DropDownList(QWidget* parent) {
    auto* list = new QComboBox(parent);
    list->setEditable(false);
    return list;
}

}  // namespace

frmMain::frmMain(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("  Quellmark"));
    setFixedSize(TwipsToPixels(9330), TwipsToPixels(5160));
    setFont(WindowFont());
    InstallAccessibleControls();
    BuildControls();
    Form_Load();
}

frmMain::~frmMain() = default;

void frmMain::BuildControls() {
    // Created in tab order.
    cboSqlTemplate = DropDownList(this);
    Place(cboSqlTemplate, "cboSqlTemplate", 1440, 360, 4695, 315);
    for (const std::string& name : TemplateNames()) cboSqlTemplate->addItem(QString::fromStdString(name), 0);

    cmdCreateSql = new QPushButton(QStringLiteral("Create SQL"), this);
    Place(cmdCreateSql, "cmdCreateSql", 120, 960, 1095, 375);

    txtSqlQuery = MultiLineBox(this);
    Place(txtSqlQuery, "txtSqlQuery", 1440, 840, 4695, 2655);
    txtSqlQuery->setFont(StatementFont());

    cmdDelete = new QPushButton(QStringLiteral("Delete All Records"), this);
    Place(cmdDelete, "cmdDelete", 6480, 1440, 2655, 375);

    cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    Place(cmdCancel, "cmdCancel", 6480, 2880, 1455, 375);

    lblSqlTemplate = Label("SQL Template:", this);
    Place(lblSqlTemplate, "lblSqlTemplate", 120, 400, 1095, 255);

    cmdCount = new QPushButton(QStringLiteral("Count Records"), this);
    Place(cmdCount, "cmdCount", 6480, 840, 1455, 375);

    txtCount = NumberBox(this);
    Place(txtCount, "txtCount", 8160, 880, 975, 285);

    cboChunks = DropDownList(this);
    Place(cboChunks, "cboChunks", 240, 1920, 735, 315);
    for (const char* chunk : {"1000", "2000", "5000"}) cboChunks->addItem(QString::fromLatin1(chunk), 0);

    lblChunks = Label("Chunks:", this);
    Place(lblChunks, "lblChunks", 240, 1680, 615, 255);

    txtRecLeft = NumberBox(this);
    Place(txtRecLeft, "txtRecLeft", 7560, 1980, 975, 285);

    txtCopyPaste = MultiLineBox(this);
    Place(txtCopyPaste, "txtCopyPaste", 1440, 3720, 4695, 1215);

    lblCopyPaste = Label("Copy/Paste Area", this);
    Place(lblCopyPaste, "lblCopyPaste", 120, 3840, 1215, 255);

    lblRecLeft = Label("Records Left:", this);
    Place(lblRecLeft, "lblRecLeft", 6480, 2040, 1095, 255);

    for (QLabel* label : {lblSqlTemplate, lblChunks, lblCopyPaste, lblRecLeft}) FitLabel(label);
    NameForAssistiveTechnology();
    for (QComboBox* list : {cboSqlTemplate, cboChunks}) FitList(list);

    const QList<QWidget*> tabOrder{cboSqlTemplate, cmdCreateSql, txtSqlQuery, cmdDelete,  cmdCancel,
                                   cmdCount,       txtCount,     cboChunks,   txtRecLeft, txtCopyPaste};
    for (qsizetype i = 0; i + 1 < tabOrder.size(); ++i) setTabOrder(tabOrder[i], tabOrder[i + 1]);

    connect(cmdCreateSql, &QPushButton::clicked, this, &frmMain::cmdCreateSql_Click);
    connect(cmdCount, &QPushButton::clicked, this, &frmMain::cmdCount_Click);
    connect(cmdDelete, &QPushButton::clicked, this, &frmMain::cmdDelete_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &frmMain::cmdCancel_Click);
}

void frmMain::NameForAssistiveTechnology() {
    cboSqlTemplate->setAccessibleName(QStringLiteral("SQL Template"));
    cboChunks->setAccessibleName(QStringLiteral("Chunks"));
    txtSqlQuery->setAccessibleName(QStringLiteral("Delete statement"));
    txtCount->setAccessibleName(QStringLiteral("Count"));
    txtRecLeft->setAccessibleName(QStringLiteral("Records Left"));
    txtCopyPaste->setAccessibleName(QStringLiteral("Copy/Paste Area"));
    lblSqlTemplate->setBuddy(cboSqlTemplate);
    lblChunks->setBuddy(cboChunks);
    lblCopyPaste->setBuddy(txtCopyPaste);
    lblRecLeft->setBuddy(txtRecLeft);
}

void frmMain::Form_Load() {
    AppPath = QCoreApplication::applicationDirPath().toStdString();
    SettingsConnString = ops::SettingsConnStringForFolder(AppPath);
    cboSqlTemplate->setCurrentIndex(0);
    cboChunks->setCurrentIndex(1);
}

void frmMain::cmdCreateSql_Click() {
    const std::optional<std::string> statement = ComposeDeleteStatement(cboSqlTemplate->currentText().toStdString(),
                                                                        cboChunks->currentText().toStdString(), Now());
    if (statement) txtSqlQuery->setPlainText(QString::fromStdString(*statement));
}

bool frmMain::StatementLongEnough() {
    if (txtSqlQuery->toPlainText().length() >= kMinimumStatementLength) return true;
    MsgBox(QString::fromLatin1(kNoStatement), this);
    return false;
}

void frmMain::cmdCount_Click() {
    if (!StatementLongEnough()) return;
    RunOperation(&frmMain::CountRecords);
}

void frmMain::cmdDelete_Click() {
    if (busy_ || !StatementLongEnough()) return;
    EnterBusyState();
    RunOperation(&frmMain::DeleteRecordsInChunks);
    LeaveBusyState();
    if (closeAfterRun_) close();
}

void frmMain::CountRecords() { ops::CountRecords(*this, SettingsConnString, CommandTimeout); }

void frmMain::DeleteRecordsInChunks() { ops::DeleteRecordsInChunks(*this, SettingsConnString, CommandTimeout); }

void frmMain::RunOperation(void (frmMain::*operation)()) {
    // The operations report their own failures; what escapes them is a fault
    // of the program, shown rather than let through the event loop.
    try {
        (this->*operation)();
    } catch (const std::exception& e) {
        MsgBox(QStringLiteral("Quellmark stopped the operation because of an internal error: ") +
                   QString::fromLocal8Bit(e.what()),
               this);
    }
}

void frmMain::cmdCancel_Click() { cancelRequested_ = true; }

void frmMain::EnterBusyState() {
    busy_ = true;
    cboSqlTemplate->setEnabled(false);
    cmdCreateSql->setEnabled(false);
    txtSqlQuery->setEnabled(false);
    cmdCount->setEnabled(false);
    cmdDelete->setEnabled(false);
    cboChunks->setEnabled(false);
    cmdCancel->setEnabled(true);
}

void frmMain::LeaveBusyState() {
    cboSqlTemplate->setEnabled(true);
    txtSqlQuery->setEnabled(true);
    cmdCreateSql->setEnabled(true);
    cmdCount->setEnabled(true);
    cmdDelete->setEnabled(true);
    cboChunks->setEnabled(true);
    cmdCancel->setEnabled(false);
    busy_ = false;
}

void frmMain::closeEvent(QCloseEvent* event) {
    if (busy_) {
        cancelRequested_ = true;
        closeAfterRun_ = true;
        event->ignore();
        return;
    }
    event->accept();
}

std::string frmMain::SqlQueryText() const { return TypedText(*txtSqlQuery).toStdString(); }

void frmMain::SetCountText(const std::string& text) { txtCount->setText(QString::fromStdString(text)); }

void frmMain::SetRecLeftText(const std::string& text) { txtRecLeft->setText(QString::fromStdString(text)); }

void frmMain::ShowMessage(const std::string& text) { MsgBox(QString::fromStdString(text), this); }

void frmMain::ProcessPendingEvents() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

}  // namespace quellmark::ui
