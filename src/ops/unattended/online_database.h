// The unattended purge on the log database: the connection opened with the
// window's settings and code, and the run's statements sent through it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "data_access/data_access.h"
#include "ops/modGeneral.h"
#include "ops/settings_file.h"
#include "ops/unattended/run.h"

namespace quellmark::ops::unattended {

using ops::OnlineSettings;

using ops::OpenFailure;

// Reads the settings through settingsConnString and opens the online
// connection as the window does; throws OpenFailure.
ops::OnlineConnection OpenPurgeConnection(const std::string& settingsConnString);

using ops::ServerName;

// The run's statements on an open connection.
class OnlinePurgeDatabase : public PurgeDatabase {
public:
    explicit OnlinePurgeDatabase(quellmark::data_access::Connection& connection) : connection_(connection) {}
    void Set(const std::string& text) override;
    std::int64_t Count(const std::string& text) override;
    std::int64_t Delete(const std::string& text) override;
    double LogUsedPercent() override;
    LogReuse ReadLogReuse() override;
    // From another thread: cancels the statement under way on the server.
    void Cancel() noexcept { connection_.Cancel(); }

private:
    std::unique_ptr<quellmark::data_access::Recordset> Execute(const std::string& text);

    quellmark::data_access::Connection& connection_;
    std::int64_t rowsDeleted_ = 0;  // by the deletes carried out on it
};

}  // namespace quellmark::ops::unattended
