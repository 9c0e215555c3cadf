// The per-user session id over the settings store, and the request URL that
// carries it.

#include "app/core/UpdateCheck.h"
#include "platform/platform.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <set>

namespace {

bool IsUpperHex(const std::string& text) {
    return text.find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

// Points the settings store at a folder of the test's own.
class StoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = qgetenv("XDG_CONFIG_HOME");
        hadValue_ = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", dir_.path().toUtf8());
    }
    void TearDown() override {
        if (hadValue_)
            qputenv("XDG_CONFIG_HOME", saved_);
        else
            qunsetenv("XDG_CONFIG_HOME");
    }
    QString StoreFile() const { return dir_.filePath("Tessary/settings.ini"); }
    void Store(const std::string& id) {
        ASSERT_TRUE(platform::WriteUserSetting(update::SettingsKey, update::SessionIdName, id));
    }
    std::optional<std::string> Stored() const {
        return platform::ReadUserSetting(update::SettingsKey, update::SessionIdName);
    }

    QTemporaryDir dir_;
    QByteArray saved_;
    bool hadValue_ = false;
};

} // namespace

TEST(SessionIdTest, IsThirtyTwoUpperCaseHexDigitsAndNewEachTime) {
    std::set<std::string> seen;
    for (int i = 0; i < 20; ++i) {
        const std::string id = update::MakeSessionId();
        EXPECT_EQ(id.size(), 32u);
        EXPECT_TRUE(IsUpperHex(id)) << id;
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 20u);
}

TEST_F(StoreTest, ShortIdsAreReplacedAndKeptLongOnesStayAsTheyAre) {
    // Nothing stored yet: a new id is made and kept.
    const std::string first = update::LoadUpdateIdentity();
    EXPECT_EQ(first.size(), 32u);
    EXPECT_EQ(Stored(), first);
    EXPECT_EQ(update::LoadUpdateIdentity(), first);

    Store(std::string(19, '7'));
    const std::string replaced = update::LoadUpdateIdentity();
    EXPECT_EQ(replaced.size(), 32u);
    EXPECT_TRUE(IsUpperHex(replaced));
    EXPECT_EQ(Stored(), replaced);

    // Twenty characters or more stay, whatever they hold, untrimmed.
    for (const std::string& kept :
         {std::string("ABCDEFGHIJ0123456789"), std::string(" not hex, kept as is ")}) {
        Store(kept);
        EXPECT_EQ(update::LoadUpdateIdentity(), kept);
        EXPECT_EQ(Stored(), kept);
    }
}

TEST_F(StoreTest, AStoreThatCannotBeWrittenStillGivesAnIdForThisRun) {
    // The configuration folder is a file: nothing can be created below it.
    QFile blocker(dir_.filePath("blocked"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    qputenv("XDG_CONFIG_HOME", blocker.fileName().toUtf8());

    EXPECT_FALSE(platform::WriteUserSetting(update::SettingsKey, update::SessionIdName, "x"));
    const std::string first = update::LoadUpdateIdentity();
    const std::string second = update::LoadUpdateIdentity();
    EXPECT_EQ(first.size(), 32u);
    EXPECT_EQ(second.size(), 32u);
    EXPECT_NE(first, second); // not kept, so made anew at the next start
}

TEST(IdentityTest, StoreFailuresAreIgnored) {
    int writes = 0;
    const update::SettingsStore failing{
        [](const std::string&, const std::string&) { return std::nullopt; },
        [&writes](const std::string& key, const std::string& name, const std::string& value) {
            EXPECT_EQ(key, "Software\\Tessary");
            EXPECT_EQ(name, "RandomSessionID");
            EXPECT_EQ(value, "0123456789ABCDEF0123456789ABCDEF");
            ++writes;
            return false;
        }};
    EXPECT_EQ(
        update::LoadUpdateIdentity(failing, [] { return "0123456789ABCDEF0123456789ABCDEF"; }),
        "0123456789ABCDEF0123456789ABCDEF");
    EXPECT_EQ(writes, 1);
}

TEST_F(StoreTest, SettingsStoreKeepsOtherValuesAndAnyBytes) {
    ASSERT_TRUE(platform::WriteUserSetting("Software\\Other", "Name", "line one\nline\\two\r"));
    Store("ABCDEFGHIJ0123456789");
    ASSERT_TRUE(
        platform::WriteUserSetting("software\\tessary", "randomsessionid", "replaced value 12345"));
    EXPECT_EQ(platform::ReadUserSetting("Software\\Other", "Name"), "line one\nline\\two\r");
    EXPECT_EQ(Stored(), "replaced value 12345");
    EXPECT_EQ(platform::ReadUserSetting("Software\\Tessary", "Missing"), std::nullopt);
    // Written through a temporary file: none is left beside the store.
    EXPECT_EQ(QDir(dir_.filePath("Tessary")).entryList(QDir::Files), QStringList{"settings.ini"});
}

TEST(UpdateUrlTest, CarriesTheParametersInOrder) {
    EXPECT_EQ(update::BuildUpdateUrl(update::DefaultUpdateBase, {"192.168.1.5", "10.0.0.2"}, "310",
                                     "0123456789ABCDEF0123456789ABCDEF", "191006", "qwerty", "n"),
              "https://update.tessary.example/checkupdate/?i=c0a80105-0a000002&v=310-0"
              "&sessionid=0123456789abcdef0123456789abcdef&b=191006&u=qwerty&s=n");
}

TEST(UpdateUrlTest, AddressParameter) {
    EXPECT_EQ(update::AddressParameter({"192.168.1.5"}), "c0a80105");
    EXPECT_EQ(update::AddressParameter({}), "");
    // Addresses AddressToHex rejects are left out, with their "-".
    EXPECT_EQ(update::AddressParameter({"1.2.3", "10.0.0.2", ""}), "0a000002");
    EXPECT_EQ(update::AddressParameter({"bad"}), "");
}

TEST(UpdateUrlTest, AnEditedSessionIdCannotAddParameters) {
    const std::string url = update::BuildUpdateUrl(
        "http://127.0.0.1:1/", {}, "310", "ABCDEFGHIJ&s=y 0123#x", "191006", "abcdef", "e");
    EXPECT_EQ(url,
              "http://127.0.0.1:1/checkupdate/?i=&v=310-0&sessionid=abcdefghij%26s%3Dy%200123%23x"
              "&b=191006&u=abcdef&s=e");
}
