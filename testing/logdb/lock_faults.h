// Lock trouble on demand: --inject NUMBER:EVERY makes every EVERY-th delete
// of a connection fail as a busy SQL Server's would, as the deadlock victim
// (Msg 1205) or after its lock wait ran out (Msg 1222), with nothing deleted.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "logdb/tsql.h"

namespace quellmark::logdb {

struct LockFault {
    std::int32_t number = 0;  // 1205 or 1222
    std::int64_t every = 0;   // the n-th, 2n-th, ... delete of a connection
};

// "1205:3" -> {1205, 3}. Throws std::invalid_argument with the reason.
LockFault ParseLockFault(const std::string& text);

// Msg 1222: a lock wait that ran out (SET LOCK_TIMEOUT).
SqlMessage LockTimeout();

// The failure the `deleteNumber`-th delete (from 1) of connection `spid`
// gets, or nullopt when it goes through.
std::optional<SqlMessage> LockFaultFor(const LockFault& fault, std::int64_t deleteNumber, std::uint16_t spid);

}  // namespace quellmark::logdb
