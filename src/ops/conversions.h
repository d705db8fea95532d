// How the operations turn a field value into a whole number: an integer as it
// is, a real rounded half to even, a text holding a number (white space
// around it allowed) parsed and rounded. Used for the integer settings and
// for the server's row counts.
#pragma once

#include <optional>

#include "data_access/data_access.h"

namespace quellmark::ops {

// nullopt for a null, a text that is not a number, or a non-finite real.
std::optional<double> WholeNumberOf(const quellmark::data_access::Value& value);

}  // namespace quellmark::ops
