#include "app/core/TextNote.h"

#include "ReceiveTestSupport.h"

#include <gtest/gtest.h>

using namespace receivetest;

TEST(TextNoteTest, TextIsWrittenByteForByteUnderTheClocksName) {
    TempFolder root;
    const std::string folder = root.Dir("texts");
    const QDateTime when(QDate(2026, 12, 9), QTime(14, 3, 22));
    const QString text = QString::fromUtf8("caf\xc3\xa9 \xe2\x98\x95\r\nhttps://example.org\n\t");
    const auto first = appcore::WriteTextFile(folder, text, when);
    const auto second = appcore::WriteTextFile(folder, QStringLiteral("two"), when);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(*first, folder + "Text 2026-12-09 14.03.22.txt");
    EXPECT_EQ(*second, folder + "Text 2026-12-09 14.03.22(1).txt");
    EXPECT_EQ(ReadFile(*first), text.toUtf8().toStdString());
    EXPECT_FALSE(appcore::WriteTextFile(folder + "gone/", text, when));
}

TEST(TextNoteTest, NamesOfTextsAndTheirFirstLines) {
    for (const char* name : {"Text 2026-12-09 14.03.22.txt", "Text 2026-12-09 14.03.22(3).txt"})
        EXPECT_TRUE(appcore::IsTextFileName(QString::fromUtf8(name))) << name;
    for (const char* name : {"Text 2026-12-09.txt", "text 2026-12-09 14.03.22.txt",
                             "Text 2026-12-09 14.03.22.txt.exe", "notes.txt"})
        EXPECT_FALSE(appcore::IsTextFileName(QString::fromUtf8(name))) << name;
    EXPECT_FALSE(appcore::HasWords(QStringLiteral(" \r\n\t")));
    EXPECT_TRUE(appcore::HasWords(QStringLiteral(" x ")));

    TempFolder root;
    const std::string lines = root.Path("lines.txt");
    WriteFile(lines, "\r\n   \n  Call   Anna  back \r\nsecond line\n");
    EXPECT_EQ(appcore::FirstLineOfText(lines), QStringLiteral("Call Anna back"));
    const std::string longLine = root.Path("long.txt");
    WriteFile(longLine, std::string(200, 'a'));
    EXPECT_EQ(appcore::FirstLineOfText(longLine, 10), QString(9, u'a') + QChar(0x2026));
    const std::string latin1 = root.Path("latin1.txt");
    WriteFile(latin1, "caf\xe9");
    EXPECT_EQ(appcore::FirstLineOfText(latin1), QString());
    EXPECT_EQ(appcore::FirstLineOfText(root.Path("missing.txt")), QString());
}
