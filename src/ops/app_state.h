// Process-wide state, used only on the user-interface thread.
#pragma once

#include <string>

namespace quellmark {

// Folder that holds the running executable.
extern std::string AppPath;
// Connection string of the local settings database (Sarnwick.mdb beside the executable).
extern std::string SettingsConnString;
// Set by the Cancel button; a deletion run clears it when it starts and reads
// it after each pause.
extern bool CancelRequested;

}  // namespace quellmark
