// The messages of the log server's T-SQL: what a statement the server refuses
// carries back to the client (number, state, severity, text).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace quellmark::logdb {

struct SqlMessage {
    std::int32_t number = 0;
    std::uint8_t state = 1;
    std::uint8_t severity = 16;
    std::string text;
};

// A batch or statement the server refuses; carries one or more messages in
// the order a server would send them.
class SqlFailure : public std::runtime_error {
public:
    explicit SqlFailure(std::vector<SqlMessage> messages)
        : std::runtime_error(messages.empty() ? std::string("SQL error") : messages.front().text),
          messages_(std::move(messages)) {}
    explicit SqlFailure(SqlMessage message) : SqlFailure(std::vector<SqlMessage>{std::move(message)}) {}
    const std::vector<SqlMessage>& Messages() const noexcept { return messages_; }

private:
    std::vector<SqlMessage> messages_;
};

}  // namespace quellmark::logdb
