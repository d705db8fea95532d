// A command's usage error: what was wrong with its command line, a value it
// was given or a job file it read. The command prints the message with its
// name and a pointer to --help, and exits with its usage status.
#pragma once

#include <stdexcept>

namespace quellmark::base {

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace quellmark::base
