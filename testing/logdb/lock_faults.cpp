#include "logdb/lock_faults.h"

namespace quellmark::logdb {

LockFault ParseLockFault(const std::string& text) {
    const std::size_t colon = text.find(':');
    const std::string number = text.substr(0, colon);
    if (colon == std::string::npos || (number != "1205" && number != "1222"))
        throw std::invalid_argument("--inject takes 1205:EVERY or 1222:EVERY");
    const std::string every = text.substr(colon + 1);
    if (every.empty() || every.size() > 9 || every.find_first_not_of("0123456789") != std::string::npos ||
        std::stoll(every) < 1)
        throw std::invalid_argument("--inject needs EVERY as a whole number from 1");
    return LockFault{std::stoi(number), std::stoll(every)};
}

SqlMessage LockTimeout() { return SqlMessage{1222, 45, 16, "Lock request time out period exceeded."}; }

std::optional<SqlMessage> LockFaultFor(const LockFault& fault, std::int64_t deleteNumber, std::uint16_t spid) {
    if (fault.every < 1 || deleteNumber % fault.every != 0) return std::nullopt;
    if (fault.number == 1205)
        return SqlMessage{1205, 51, 13,
                          "Transaction (Process ID " + std::to_string(spid) +
                              ") was deadlocked on lock resources with another process and has been chosen as the "
                              "deadlock victim. Rerun the transaction."};
    return LockTimeout();
}

}  // namespace quellmark::logdb
