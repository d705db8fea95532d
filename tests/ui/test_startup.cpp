#include <gtest/gtest.h>

#include "connection_string.h"
#include "startup.h"

using quellmark::ui::SettingsConnectionString;

TEST(SettingsConnectionString, PathWithSpacesGoesInUnquoted) {
    EXPECT_EQ(SettingsConnectionString("/opt/My Tools/Quellmark"),
              "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=/opt/My Tools/Quellmark/Sarnwick.mdb;"
              "Persist Security Info=False");
    const auto parsed = data_access::ConnectionProperties::Parse(SettingsConnectionString("/opt/My Tools/Quellmark"));
    EXPECT_EQ(parsed.Get("data source"), "/opt/My Tools/Quellmark/Sarnwick.mdb");
    EXPECT_EQ(parsed.Get("Provider"), "Microsoft.Jet.OLEDB.4.0");
}

TEST(SettingsConnectionString, SemicolonInFolderCannotBreakTheString) {
    const std::string text = SettingsConnectionString("/srv/a;Provider=SQLOLEDB");
    const auto parsed = data_access::ConnectionProperties::Parse(text);
    EXPECT_EQ(parsed.Get("Data Source"), "/srv/a;Provider=SQLOLEDB/Sarnwick.mdb");
    EXPECT_EQ(parsed.Get("Provider"), "Microsoft.Jet.OLEDB.4.0");
}
