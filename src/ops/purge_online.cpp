#include "ops/purge_online.h"

#include <utility>
#include <variant>

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

// A run cannot go on through a connection that is gone or a server that did
// not answer in time.
bool Unreachable(const quellmark::data_access::ErrorEntry& entry) {
    return entry.IsConnectionLost() || entry.IsTimeout();
}

}  // namespace

modGeneral::OnlineConnection OpenPurgeConnection(const std::string& settingsConnString) {
    std::variant<modGeneral::OnlineConnection, modGeneral::OnlineOpenFailure> opened =
        modGeneral::TryOpenOnlineConnection(settingsConnString);
    if (modGeneral::OnlineOpenFailure* failure = std::get_if<modGeneral::OnlineOpenFailure>(&opened)) {
        const OpenFailure::Cause cause = failure->cause == modGeneral::OpenCause::Settings
                                             ? OpenFailure::Cause::Settings
                                             : OpenFailure::Cause::Connection;
        throw OpenFailure(cause, failure->message, std::move(failure->settings));
    }
    return std::move(std::get<modGeneral::OnlineConnection>(opened));
}

StatementFailure ClassifyFailure(const quellmark::data_access::Errors& errors) {
    if (errors.Count() == 0)
        return StatementFailure(FailureKind::Internal, 0, "The statement failed without a reason.");
    const quellmark::data_access::ErrorEntry& last = errors.Item(errors.Count() - 1);
    if (Unreachable(last)) return StatementFailure(FailureKind::Unavailable, 0, last.Description);
    long number = 0;
    for (int i = 0; i < errors.Count(); ++i) {
        const quellmark::data_access::ErrorEntry& entry = errors.Item(i);
        if (entry.IsDeadlockOrLockTimeout())
            return StatementFailure(FailureKind::Rejected, entry.NativeError, last.Description);
        const long native = entry.NativeError;
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
    const std::string consequence =
        rowsDeleted_ == 0 ? std::string()
                          : "The deletion run stopped here; the " + std::to_string(rowsDeleted_) +
                                (rowsDeleted_ == 1 ? " row" : " rows") + " it deleted before stay deleted.";
    const std::variant<std::int32_t, modGeneral::CountFailure> counted =
        modGeneral::TryRunCountStatement(connection_, text, result, consequence);
    if (const std::int32_t* count = std::get_if<std::int32_t>(&counted)) return *count;
    const modGeneral::CountFailure& failure = std::get<modGeneral::CountFailure>(counted);
    if (!failure.entries.empty()) throw ClassifyFailure(connection_.Errors());
    throw StatementFailure(FailureKind::Internal, 0, failure.message);
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
