#include <gtest/gtest.h>

#include "data_access/connection_string.h"
#include "ops/modGeneral.h"

using namespace quellmark::ops;

TEST(BuildCountStatement, CutsAtTheTableMarker) {
    EXPECT_EQ(BuildCountStatement("DELETE TOP (2000) FROM ATR_Log WHERE ent = 'snmpTraps'\r\n"),
              "SELECT COUNT(log_id) FROM ATR_Log WHERE ent = 'snmpTraps'");
    EXPECT_EQ(BuildCountStatement("DELETE FROM ATR_Log"), "SELECT COUNT(log_id) FROM ATR_Log");
    // Everything after the marker survives; text in front of it is dropped.
    EXPECT_EQ(BuildCountStatement("-- note\nDELETE TOP (5) FROM ATR_Log WHERE a = '1' ORDER BY time"),
              "SELECT COUNT(log_id) FROM ATR_Log WHERE a = '1' ORDER BY time");
    // The first occurrence counts.
    EXPECT_EQ(BuildCountStatement("DELETE FROM ATR_Log WHERE message = 'FROM ATR_Log'"),
              "SELECT COUNT(log_id) FROM ATR_Log WHERE message = 'FROM ATR_Log'");
}

TEST(BuildCountStatement, MarkerMustMatchExactly) {
    EXPECT_EQ(BuildCountStatement("DELETE TOP (10) from ATR_Log WHERE priority = '7'"), "");
    EXPECT_EQ(BuildCountStatement("DELETE TOP (10) FROM atr_log"), "");
    EXPECT_EQ(BuildCountStatement("DELETE TOP (10) FROM  ATR_Log"), "");
    EXPECT_EQ(BuildCountStatement(""), "");
}

TEST(BuildCountStatement, SpacesAndLineBreaksAtTheEnd) {
    // Spaces are trimmed before the line breaks are stripped, so spaces in
    // front of a final CR LF survive; tabs are not spaces.
    EXPECT_EQ(BuildCountStatement("DELETE FROM ATR_Log WHERE a = '1'   "),
              "SELECT COUNT(log_id) FROM ATR_Log WHERE a = '1'");
    EXPECT_EQ(BuildCountStatement("DELETE FROM ATR_Log WHERE a = '1'  \r\n"),
              "SELECT COUNT(log_id) FROM ATR_Log WHERE a = '1'  ");
    EXPECT_EQ(BuildCountStatement("DELETE FROM ATR_Log\t"), "SELECT COUNT(log_id) FROM ATR_Log\t");
    EXPECT_EQ(BuildCountStatement("DELETE FROM ATR_Log WHERE a = '1'\n\r\n"),
              "SELECT COUNT(log_id) FROM ATR_Log WHERE a = '1'");
}

TEST(BuildCountStatement, LongStatementsStillCount) {
    // The marker beyond 32767 characters is still found.
    const std::string padding(40000, ' ');
    const std::string text = "DELETE TOP (10)" + padding + "FROM ATR_Log WHERE label = 'x'";
    EXPECT_EQ(BuildCountStatement(text), "SELECT COUNT(log_id) FROM ATR_Log WHERE label = 'x'");
    const std::string longFilter = "DELETE FROM ATR_Log WHERE label IN ('" + std::string(1 << 20, 'a') + "')";
    EXPECT_EQ(BuildCountStatement(longFilter).size(), longFilter.size() - 7 + 21);
}

TEST(TrimTrailingLineBreaks, OnlyTrailingCrAndLf) {
    EXPECT_EQ(TrimTrailingLineBreaks(""), "");
    EXPECT_EQ(TrimTrailingLineBreaks("\r\n\n"), "");
    EXPECT_EQ(TrimTrailingLineBreaks("a\r\nb\n"), "a\r\nb");
    EXPECT_EQ(TrimTrailingLineBreaks("x  \r\n"), "x  ");
    EXPECT_EQ(TrimTrailingLineBreaks("x\n\t"), "x\n\t");
}

namespace {
OnlineSettings Settings(const std::string& type) {
    OnlineSettings s;
    s.OnlConnType = type;
    s.OnlConnTimeout = 15;
    s.OnlDbServer = "db01";
    s.OnlDbPort = 999;
    s.OnlDatabase = "Sarnwick";
    s.OnlDbUser = "ops";
    s.OnlDbPass = "s3cret";
    return s;
}
}  // namespace

TEST(BuildOnlineConnString, TheThreeForms) {
    EXPECT_EQ(BuildOnlineConnString(Settings("Windows Authentication")),
              "Provider=SQLOLEDB;Data Source=db01;Initial Catalog=Sarnwick;Integrated Security=SSPI");
    EXPECT_EQ(BuildOnlineConnString(Settings("Local SQL Authentication")),
              "Provider=SQLOLEDB;Data Source=db01;Initial Catalog=Sarnwick;User Id=ops;Password=s3cret");
    EXPECT_EQ(BuildOnlineConnString(Settings("Remote SQL Authentication")),
              "Provider=SQLOLEDB;Network Library=DBMSSOCN;Data Source=db01,999;Initial Catalog=Sarnwick;"
              "User Id=ops;Password=s3cret");
}

TEST(BuildOnlineConnString, UnknownTypesGiveAnEmptyString) {
    for (const char* type : {"remote sql authentication", "Windows authentication", "", "Remote SQL Authentication "})
        EXPECT_EQ(BuildOnlineConnString(Settings(type)), "") << type;
}

TEST(BuildOnlineConnString, PortsAndEmptyPassword) {
    OnlineSettings s = Settings("Remote SQL Authentication");
    s.OnlDbPort = -5;
    s.OnlDbPass = "";
    const std::string text = BuildOnlineConnString(s);
    EXPECT_NE(text.find(";Data Source=db01,-5;"), std::string::npos) << text;
    EXPECT_EQ(text.substr(text.size() - 10), ";Password=");
    s.OnlDbPort = 2147483647;
    EXPECT_NE(BuildOnlineConnString(s).find("db01,2147483647;"), std::string::npos);
}

TEST(BuildOnlineConnString, ValuesCannotAddOrBreakKeys) {
    OnlineSettings s = Settings("Remote SQL Authentication");
    s.OnlDbPass = "x;Initial Catalog=master";
    s.OnlDbUser = " spaced ";
    s.OnlDatabase = "\"quoted\"";
    s.OnlDbServer = "host;Provider=Other";
    const auto parsed = quellmark::data_access::ConnectionProperties::Parse(BuildOnlineConnString(s));
    EXPECT_EQ(parsed.Get("Password"), "x;Initial Catalog=master");
    EXPECT_EQ(parsed.Get("Initial Catalog"), "\"quoted\"");
    EXPECT_EQ(parsed.Get("User Id"), " spaced ");
    EXPECT_EQ(parsed.Get("Data Source"), "host;Provider=Other,999");
    EXPECT_EQ(parsed.Get("Provider"), "SQLOLEDB");
    EXPECT_EQ(parsed.Items().size(), 6u);

    s = Settings("Local SQL Authentication");
    s.OnlDbPass = "pa;ss";
    EXPECT_EQ(BuildOnlineConnString(s),
              "Provider=SQLOLEDB;Data Source=db01;Initial Catalog=Sarnwick;User Id=ops;Password=\"pa;ss\"");
    // Characters that break nothing stay as they are.
    s.OnlDbPass = "p=a's\"s";
    EXPECT_EQ(BuildOnlineConnString(s),
              "Provider=SQLOLEDB;Data Source=db01;Initial Catalog=Sarnwick;User Id=ops;Password=p=a's\"s");
}
