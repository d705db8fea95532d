#include <gtest/gtest.h>

#include "data_access/connection_string.h"
#include "data_access/data_access.h"

using quellmark::data_access::ConnectionProperties;
using quellmark::data_access::QuoteConnectionValue;

TEST(ConnectionString, KeysIgnoreCaseAndValuesLoseSurroundingSpaces) {
    const auto p = ConnectionProperties::Parse(" provider = SQLOLEDB ;DATA SOURCE=db01,1433;;Password=;x");
    EXPECT_EQ(p.Get("Provider"), "SQLOLEDB");
    EXPECT_EQ(p.Get("data source"), "db01,1433");
    EXPECT_EQ(p.Get("password"), "");
    EXPECT_FALSE(p.Get("x"));
    EXPECT_FALSE(p.Get("User Id"));
}

TEST(ConnectionString, QuotedValues) {
    const auto p =
        ConnectionProperties::Parse("A=\"x;y\";B='it''s';C=\"say \"\"hi\"\"\";D=\" padded \";E=\"unterminated;F=1");
    EXPECT_EQ(p.Get("A"), "x;y");
    EXPECT_EQ(p.Get("B"), "it's");
    EXPECT_EQ(p.Get("C"), "say \"hi\"");
    EXPECT_EQ(p.Get("D"), " padded ");
    EXPECT_EQ(p.Get("E"), "unterminated;F=1");
}

TEST(ConnectionString, LaterKeysOverrideEarlierOnes) {
    const auto p = ConnectionProperties::Parse("Initial Catalog=a;initial catalog=b");
    EXPECT_EQ(p.Get("Initial Catalog"), "b");
    EXPECT_EQ(p.Items().size(), 1u);
}

TEST(ConnectionString, QuotingRoundTrips) {
    for (const std::string value : {"plain", "", "pa;ss", " lead", "trail ", "\"q", "'q", "a\"b;c", "\tx", "x=y"}) {
        const auto p = ConnectionProperties::Parse("K=" + QuoteConnectionValue(value) + ";Next=1");
        EXPECT_EQ(p.Get("K"), value) << value;
        EXPECT_EQ(p.Get("Next"), "1") << value;
    }
    EXPECT_EQ(QuoteConnectionValue("plain value"), "plain value");
    EXPECT_EQ(QuoteConnectionValue("a\"b;c"), "\"a\"\"b;c\"");
}

TEST(Connection, FailuresAreThrownAndListed) {
    quellmark::data_access::Connection c;
    for (const char* text : {"", "Data Source=x", "Provider=Nope;Data Source=x"}) {
        c.ConnectionString = text;
        EXPECT_THROW(c.Open(), quellmark::data_access::Error) << text;
        ASSERT_EQ(c.Errors().Count(), 1) << text;
        EXPECT_FALSE(c.Errors().Item(0).Description.empty());
        EXPECT_FALSE(c.IsOpen());
    }
    EXPECT_THROW(c.Execute("SELECT 1"), quellmark::data_access::Error);
    EXPECT_EQ(c.Errors().Count(), 1);
    EXPECT_THROW(c.Close(), quellmark::data_access::Error);
}

TEST(Value, TextForms) {
    using quellmark::data_access::ToText;
    EXPECT_EQ(ToText(quellmark::data_access::Value{std::int64_t{-42}}), "-42");
    EXPECT_EQ(ToText(quellmark::data_access::Value{3.0}), "3");
    EXPECT_EQ(ToText(quellmark::data_access::Value{2.5}), "2.5");
    EXPECT_EQ(ToText(quellmark::data_access::Value{std::string("Zürich")}), "Zürich");
    EXPECT_EQ(ToText(quellmark::data_access::Value{quellmark::data_access::Null{}}), "");
    EXPECT_TRUE(quellmark::data_access::IsNull(quellmark::data_access::Value{}));
}
