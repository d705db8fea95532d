// Start-up values that need no window: where the settings file lies and the
// connection string that reaches it.
#pragma once

#include <string>

namespace quellmark::ui {

// "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=<appPath><sep>Sarnwick.mdb;Persist Security Info=False",
// joined with the platform's own separator. The path goes in as it is (spaces
// and all), quoted only where it would otherwise break the string (a ';',
// surrounding spaces, a leading quote).
std::string SettingsConnectionString(const std::string& appPath);

}  // namespace quellmark::ui
