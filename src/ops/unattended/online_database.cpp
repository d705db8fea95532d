#include "ops/unattended/online_database.h"

#include <utility>
#include <variant>

namespace quellmark::ops::unattended {
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
        throw Failure(FailureCause::Internal, std::string(kNoLogFigure) + ": " + e.what());
    }
    throw Failure(FailureCause::Internal, std::string(kNoLogFigure) + ": no value.");
}

}  // namespace

ops::OnlineConnection OpenPurgeConnection(const std::string& settingsConnString) {
    std::variant<ops::OnlineConnection, OpenFailure> opened = ops::TryOpenOnlineConnection(settingsConnString);
    if (OpenFailure* failure = std::get_if<OpenFailure>(&opened)) throw std::move(*failure);
    return std::move(std::get<ops::OnlineConnection>(opened));
}

std::unique_ptr<quellmark::data_access::Recordset> OnlinePurgeDatabase::Execute(const std::string& text) {
    try {
        return connection_.Execute(text);
    } catch (const quellmark::data_access::Error&) {
        throw ClassifyFailure(connection_.Errors().Entries(), FailedStep::Statement);
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
    // A failure the server reported is told in its own words, as every
    // other statement's.
    std::variant<std::int32_t, Failure> counted = ops::TryRunCountStatement(connection_, text, result, consequence);
    if (const std::int32_t* count = std::get_if<std::int32_t>(&counted)) return *count;
    Failure& failure = std::get<Failure>(counted);
    if (!failure.Entries().empty()) throw ClassifyFailure(failure.Entries(), FailedStep::Statement);
    throw std::move(failure);
}

std::int64_t OnlinePurgeDatabase::Delete(const std::string& text) {
    const std::int64_t rows = Execute(text)->RowsAffected();
    if (rows < 0) throw Failure(FailureCause::Internal, kNoRowsFigure);
    rowsDeleted_ += rows;
    return rows;
}

double OnlinePurgeDatabase::LogUsedPercent() {
    const quellmark::data_access::Value value = FirstRowValue(*Execute(std::string(kLogUsedStatement)), 0);
    if (const double* percent = std::get_if<double>(&value)) return *percent;
    if (const std::int64_t* percent = std::get_if<std::int64_t>(&value)) return static_cast<double>(*percent);
    throw Failure(FailureCause::Internal, std::string(kNoLogFigure) + ": not a number.");
}

LogReuse OnlinePurgeDatabase::ReadLogReuse() {
    const std::unique_ptr<quellmark::data_access::Recordset> result = Execute(std::string(kLogReuseStatement));
    const auto text = [&](int column) {
        const quellmark::data_access::Value value = FirstRowValue(*result, column);
        if (const std::string* name = std::get_if<std::string>(&value)) return *name;
        throw Failure(FailureCause::Internal, std::string(kNoLogFigure) + ": not a name.");
    };
    return LogReuse{text(0), text(1)};
}

}  // namespace quellmark::ops::unattended
