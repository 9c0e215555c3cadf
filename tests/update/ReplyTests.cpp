// The INI reply: what it asks for, the exact comparisons, the reader's rules
// and replies that are empty, cut short or no INI file at all.

#include "app/core/UpdateCheck.h"
#include "util/IniProfile.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using update::ReadUpdateReply;
using update::UpdateReply;

namespace {

class ReplyTest : public ::testing::Test {
  protected:
    std::string Write(const std::string& text) {
        const std::string path =
            dir_.filePath("reply" + QString::number(++count_) + ".dat").toStdString();
        QFile file(QString::fromStdString(path));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text.data(), static_cast<qint64>(text.size()));
        return path;
    }
    UpdateReply Read(const std::string& text) { return ReadUpdateReply(Write(text)); }

    static void ExpectNothing(const UpdateReply& reply) {
        EXPECT_EQ(reply.relayUrlTemplate, "");
        EXPECT_FALSE(reply.showMessage);
        EXPECT_EQ(reply.messageText, "");
        EXPECT_FALSE(reply.closeProgram);
    }

    QTemporaryDir dir_;
    int count_ = 0;
};

const std::string Announce = "[Version]\r\nsoftware=TESSARY\r\nnewversion=yes\r\n"
                             "versionmsg=Version 3.11 is out.\r\n";

} // namespace

TEST_F(ReplyTest, StatusOneSwitchesToRelayEvenWithoutItsParts) {
    EXPECT_EQ(Read("[Main]\r\nstatus=1\r\n").relayUrlTemplate, "?");
    EXPECT_EQ(Read("[Main]\r\nsecureserver=https://relay.example/#updown#/\r\n"
                   "u=k=#version#\r\nstatus=1\r\n")
                  .relayUrlTemplate,
              "https://relay.example/#updown#/?k=#version#");
}

TEST_F(ReplyTest, StatusIsTrimmedButComparedExactly) {
    EXPECT_EQ(Read("[Main]\r\nstatus= 1 \r\nu=x\r\n").relayUrlTemplate, "?x");
    EXPECT_EQ(Read("[Main]\r\nstatus=\t1\r\n").relayUrlTemplate, "?");
    EXPECT_EQ(Read("[Main]\r\nstatus=01\r\nu=x\r\n").relayUrlTemplate, "");
    EXPECT_EQ(Read("[Main]\r\nstatus=yes\r\nu=x\r\n").relayUrlTemplate, "");
    EXPECT_EQ(Read("[Main]\r\nu=x\r\n").relayUrlTemplate, ""); // default "0"
}

TEST_F(ReplyTest, AnnouncementNeedsExactYesAndAMessage) {
    const UpdateReply shown = Read(Announce);
    EXPECT_TRUE(shown.showMessage);
    EXPECT_EQ(shown.messageText, "Version 3.11 is out.");
    EXPECT_FALSE(shown.closeProgram); // feature defaults to "nono"

    // An empty message shows nothing and closes nothing, whatever feature says.
    ExpectNothing(Read("[Version]\r\nsoftware=TESSARY\r\nnewversion=yes\r\nversionmsg=  \r\n"
                       "feature=yes\r\n"));
    ExpectNothing(Read("[Version]\r\nsoftware=TESSARY\r\nnewversion=Yes\r\nversionmsg=Hi\r\n"
                       "feature=yes\r\n"));
    ExpectNothing(Read("[Version]\r\nsoftware=TESSARY\r\nversionmsg=Hi\r\n")); // default "no"
    EXPECT_FALSE(Read(Announce + "feature=YES\r\n").closeProgram);
    EXPECT_TRUE(Read(Announce + "feature= yes\r\n").closeProgram);
}

TEST_F(ReplyTest, SoftwareIsComparedUpperCasedAndOtherSoftwareKeepsOnlyMain) {
    const UpdateReply lower =
        Read("[Version]\r\nsoftware= tessary \r\nnewversion=yes\r\nversionmsg=Hello\r\n");
    EXPECT_TRUE(lower.showMessage);
    EXPECT_EQ(lower.messageText, "Hello");

    const UpdateReply other = Read("[Main]\r\nstatus=1\r\nsecureserver=https://r.example/\r\n"
                                   "[Version]\r\nsoftware=OtherTool\r\nnewversion=yes\r\n"
                                   "versionmsg=Not for us\r\nfeature=yes\r\n");
    EXPECT_EQ(other.relayUrlTemplate, "https://r.example/?");
    EXPECT_FALSE(other.showMessage);
    EXPECT_FALSE(other.closeProgram);
    ExpectNothing(Read("[Version]\r\nnewversion=yes\r\nversionmsg=No software key\r\n"));
}

TEST_F(ReplyTest, CombinedReplyShowsClosesAndSwitches) {
    const UpdateReply reply = Read("[Main]\r\nsecureserver=https://relay.example/\r\nu=id=7\r\n"
                                   "status=1\r\nui=ignored\r\n" +
                                   Announce + "feature=yes\r\nversion=3.11\r\n");
    EXPECT_EQ(reply.relayUrlTemplate, "https://relay.example/?id=7");
    EXPECT_TRUE(reply.showMessage);
    EXPECT_EQ(reply.messageText, "Version 3.11 is out.");
    EXPECT_TRUE(reply.closeProgram);
}

TEST_F(ReplyTest, BrokenRepliesYieldTheDefaults) {
    ExpectNothing(Read(""));
    ExpectNothing(Read("[Main]\r\nstat"));   // cut in a key
    ExpectNothing(Read("[Main]\r\nstatus")); // cut before "="
    ExpectNothing(Read("[Ma"));              // cut in a section name
    ExpectNothing(Read("<html><body>Gateway timeout</body></html>"));
    ExpectNothing(Read(std::string("\x7f"
                                   "ELF\x02\x01\x01\0\0status=1\n",
                                   16)));
    ExpectNothing(ReadUpdateReply(dir_.filePath("missing.dat").toStdString()));
    // A key before any section belongs to none.
    ExpectNothing(Read("status=1\r\n[Version]\r\n"));
    // Cut inside the message: what arrived is still a message.
    EXPECT_EQ(Read("[Version]\r\nsoftware=TESSARY\r\nnewversion=yes\r\nversionmsg=Version 3.1")
                  .messageText,
              "Version 3.1");
}

TEST_F(ReplyTest, LongValuesAreCutAt2047AndTheRelayTemplateAt255) {
    const std::string longText(3000, 'm');
    const UpdateReply reply =
        Read("[Version]\r\nsoftware=TESSARY\r\nnewversion=yes\r\nversionmsg=" + longText +
             "\r\n[Main]\r\nstatus=1\r\nsecureserver=" + std::string(300, 's') + "\r\n");
    EXPECT_EQ(reply.messageText, std::string(2047, 'm'));
    EXPECT_EQ(reply.relayUrlTemplate, std::string(255, 's'));
}

TEST(IniProfileTest, FollowsTheProfileReaderRules) {
    QTemporaryDir dir;
    const std::string path = dir.filePath("p.ini").toStdString();
    QFile file(QString::fromStdString(path));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("\xEF\xBB\xBF; a comment\n"
               "[ MAIN ]\n"
               "Key = first \n"
               "key=second\n"
               "quoted=\"  kept inside  \"\n"
               "single='x'\n"
               "half=\"open\n"
               ";hidden=1\n"
               "empty=\n"
               "[main]\n"
               "later=from a second section of the same name\n"
               "[Other]\r"
               "key=other\r"
               "[Utf8]\n"
               "cut=" +
               QByteArray(2046, 'a') + "\xC3\xA9\n");
    file.close();
    using ini::ReadProfileString;
    EXPECT_EQ(ReadProfileString(path, "main", "KEY", "d"), "first");
    EXPECT_EQ(ReadProfileString(path, "Main", "quoted", "d"), "  kept inside  ");
    EXPECT_EQ(ReadProfileString(path, "Main", "single", "d"), "x");
    EXPECT_EQ(ReadProfileString(path, "Main", "half", "d"), "\"open");
    EXPECT_EQ(ReadProfileString(path, "Main", "hidden", "d"), "d");
    EXPECT_EQ(ReadProfileString(path, "Main", "empty", "d"), "");
    EXPECT_EQ(ReadProfileString(path, "Main", "later", "d"), "d");
    EXPECT_EQ(ReadProfileString(path, "other", "key", "d"), "other");
    EXPECT_EQ(ReadProfileString(path, "Absent", "key", "d"), "d");
    // The cut never splits a character: 2046 letters, the "é" left out.
    EXPECT_EQ(ReadProfileString(path, "Utf8", "cut", "d"), std::string(2046, 'a'));
}
