#include "ops/app_state.h"

#include "ops/window_port.h"

namespace quellmark {

std::string AppPath;
std::string SettingsConnString;
bool CancelRequested = false;

namespace {
WindowPort* mainWindow = nullptr;
}

WindowPort* MainWindow() noexcept { return mainWindow; }
void SetMainWindow(WindowPort* window) noexcept { mainWindow = window; }

}  // namespace quellmark
