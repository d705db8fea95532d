// Where the settings file lies and the connection string that reaches it.
#include <gtest/gtest.h>

#include "data_access/connection_string.h"
#include "ops/settings_file.h"

using quellmark::ops::SettingsConnStringForFolder;

TEST(SettingsConnString, PathWithSpacesGoesInUnquoted) {
    EXPECT_EQ(SettingsConnStringForFolder("/opt/My Tools/Quellmark"),
              "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=/opt/My Tools/Quellmark/Sarnwick.mdb;"
              "Persist Security Info=False");
    const auto parsed =
        quellmark::data_access::ConnectionProperties::Parse(SettingsConnStringForFolder("/opt/My Tools/Quellmark"));
    EXPECT_EQ(parsed.Get("data source"), "/opt/My Tools/Quellmark/Sarnwick.mdb");
    EXPECT_EQ(parsed.Get("Provider"), "Microsoft.Jet.OLEDB.4.0");
}

TEST(SettingsConnString, SemicolonInFolderCannotBreakTheString) {
    const std::string text = SettingsConnStringForFolder("/srv/a;Provider=SQLOLEDB");
    const auto parsed = quellmark::data_access::ConnectionProperties::Parse(text);
    EXPECT_EQ(parsed.Get("Data Source"), "/srv/a;Provider=SQLOLEDB/Sarnwick.mdb");
    EXPECT_EQ(parsed.Get("Provider"), "Microsoft.Jet.OLEDB.4.0");
}
