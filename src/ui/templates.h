// The delete-statement templates behind the Create SQL button, as plain
// functions: a template name and a chunk size become a statement.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quellmark::ui {

// The template names in the order the template list shows them.
const std::vector<std::string>& TemplateNames();

// "DELETE TOP (" + chunk + the template's tail; nullopt for a name that is not
// a template (compared exactly, case-sensitively). The chunk is inserted as
// text. "Priority AND Time" filters on the cutoff date of `now`.
std::optional<std::string> ComposeDeleteStatement(const std::string& templateName, const std::string& chunk,
                                                  std::chrono::system_clock::time_point now);

// The local date seven days (168 hours of wall-clock time) before `now`, as
// YYYY-MM-DD: pressed at any hour of 8 March it gives 1 March.
std::string CutoffDate(std::chrono::system_clock::time_point now);

// The clock the Create SQL button reads; tests pin it.
using Clock = std::function<std::chrono::system_clock::time_point()>;
std::chrono::system_clock::time_point Now();
void SetClock(Clock clock);  // an empty function restores the system clock

}  // namespace quellmark::ui
