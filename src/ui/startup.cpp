#include "startup.h"

#include <QDir>

#include "connection_string.h"

namespace quellmark::ui {

std::string SettingsConnectionString(const std::string& appPath) {
    const std::string file = appPath + QDir::separator().toLatin1() + "Sarnwick.mdb";
    return "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + data_access::QuoteConnectionValue(file) +
           ";Persist Security Info=False";
}

}  // namespace quellmark::ui
