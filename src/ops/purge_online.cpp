#include "ops/purge_online.h"

#include <utility>

namespace quellmark::purge {
namespace {

constexpr const char* kNoRowsFigure =
    "The server did not say how many rows the delete statement removed, so the run cannot tell when it is done.";

constexpr const char* kNoLogFigure = "The server's answer about the transaction log made no sense";

// The first row's value in `column` of a statement's answer; a missing row or
// column, or a NULL, is an answer that made no sense.
quellmark::data_access::Value FirstRowValue(const quellmark::data_access::Recordset& result, int column) {
    try {
        if (!result.EndOfFile()) {
            quellmark::data_access::Value value = result.Fields().Item(column).Value();
            if (!quellmark::data_access::IsNull(value)) return value;
        }
    } catch (const quellmark::data_access::Error& e) {
        throw StatementFailure(FailureKind::Internal, 0, std::string(kNoLogFigure) + ": " + e.what());
    }
    throw StatementFailure(FailureKind::Internal, 0, std::string(kNoLogFigure) + ": no value.");
}

bool Unreachable(const quellmark::data_access::ErrorEntry& entry) {
    return entry.SqlState.starts_with("08") || entry.SqlState.starts_with("HYT");
}

}  // namespace

modGeneral::OnlineConnection OpenPurgeConnection(const std::string& settingsConnString) {
    // The settings are read first on their own, so that a failure there is
    // told apart from one of the server; the window's own opening reads
    // them again and reports in the window's words.
    std::optional<OnlineSettings> settings;
    try {
        settings = modGeneral::ReadOnlineSettings(settingsConnString);
    } catch (const quellmark::data_access::Error& e) {
        throw OpenFailure(OpenFailure::Cause::Settings, e.what(), std::nullopt);
    }
    const bool knownType = !modGeneral::BuildOnlineConnString(*settings).empty();
    std::string shown;
    std::optional<modGeneral::OnlineConnection> online =
        modGeneral::OpenOnlineConnection(settingsConnString, [&](const std::string& text) { shown = text; });
    if (!online) {
        const OpenFailure::Cause cause = knownType ? OpenFailure::Cause::Connection : OpenFailure::Cause::Settings;
        throw OpenFailure(cause, shown, settings);
    }
    return std::move(*online);
}

StatementFailure ClassifyFailure(const quellmark::data_access::Errors& errors) {
    if (errors.Count() == 0)
        return StatementFailure(FailureKind::Internal, 0, "The statement failed without a reason.");
    const quellmark::data_access::ErrorEntry& last = errors.Item(errors.Count() - 1);
    if (Unreachable(last)) return StatementFailure(FailureKind::Unavailable, 0, last.Description);
    long number = 0;
    for (int i = 0; i < errors.Count(); ++i) {
        const long native = errors.Item(i).NativeError;
        if (native == 1205 || native == 1222) return StatementFailure(FailureKind::Rejected, native, last.Description);
        if (native > 0 && number == 0) number = native;
    }
    return StatementFailure(number > 0 ? FailureKind::Rejected : FailureKind::Internal, number, last.Description);
}

std::unique_ptr<quellmark::data_access::Recordset> OnlinePurgeDatabase::Execute(const std::string& text) {
    try {
        return connection_.Execute(text);
    } catch (const quellmark::data_access::Error&) {
        throw ClassifyFailure(connection_.Errors());
    }
}

void OnlinePurgeDatabase::Set(const std::string& text) { Execute(text); }

std::int64_t OnlinePurgeDatabase::Count(const std::string& text) {
    // The window's count: the same conversion of the answer, the same words
    // for an answer without a number.
    // Once rows are deleted the message says how many stay deleted, as the
    // window's does during its run, rather than that nothing was changed.
    std::unique_ptr<quellmark::data_access::Recordset> result;
    std::string shown;
    const std::string consequence =
        rowsDeleted_ == 0 ? std::string()
                          : "The deletion run stopped here; the " + std::to_string(rowsDeleted_) +
                                (rowsDeleted_ == 1 ? " row" : " rows") + " it deleted before stay deleted.";
    const std::optional<std::int32_t> count = modGeneral::RunCountStatement(
        connection_, text, result, [&](const std::string& d) { shown = d; }, consequence);
    if (count) return *count;
    if (connection_.Errors().Count() > 0) throw ClassifyFailure(connection_.Errors());
    throw StatementFailure(FailureKind::Internal, 0, shown);
}

std::int64_t OnlinePurgeDatabase::Delete(const std::string& text) {
    const std::int64_t rows = Execute(text)->RowsAffected();
    if (rows < 0) throw StatementFailure(FailureKind::Internal, 0, kNoRowsFigure);
    rowsDeleted_ += rows;
    return rows;
}

double OnlinePurgeDatabase::LogUsedPercent() {
    const quellmark::data_access::Value value = FirstRowValue(*Execute(std::string(kLogUsedStatement)), 0);
    if (const double* percent = std::get_if<double>(&value)) return *percent;
    if (const std::int64_t* percent = std::get_if<std::int64_t>(&value)) return static_cast<double>(*percent);
    throw StatementFailure(FailureKind::Internal, 0, std::string(kNoLogFigure) + ": not a number.");
}

LogReuse OnlinePurgeDatabase::ReadLogReuse() {
    const std::unique_ptr<quellmark::data_access::Recordset> result = Execute(std::string(kLogReuseStatement));
    const auto text = [&](int column) {
        const quellmark::data_access::Value value = FirstRowValue(*result, column);
        if (const std::string* name = std::get_if<std::string>(&value)) return *name;
        throw StatementFailure(FailureKind::Internal, 0, std::string(kNoLogFigure) + ": not a name.");
    };
    return LogReuse{text(0), text(1)};
}

}  // namespace quellmark::purge
