#include "TempFolder.h"
#include "util/HTMTemplateUnit.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <sys/stat.h>

// These tests run with TZ=UTC and LC_ALL=C (see CMakeLists.txt), so dates
// come out in the C locale's formats: month/day/year and 24 hours.

namespace {

using htmtemplate::FileEntryTemplate;
using htmtemplate::FillFileEntry;

// 2019-08-03 14:05:09 UTC
constexpr std::time_t August3rd = 1564841109;
constexpr std::time_t August3rdMidnight = 1564790400;

void SetLastWrite(const std::string& path, std::time_t when) {
    const timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// The template with each mark replaced by the given text.
std::string Expected(const std::string& ext, const std::string& size, const std::string& name,
                     const std::string& date, const std::string& url) {
    std::string text = FileEntryTemplate();
    const std::pair<std::string, std::string> marks[] = {{"##FILEEXT##", ext},
                                                         {"##FILESIZE##", size},
                                                         {"##FILENAME##", name},
                                                         {"##FILEDATE##", date},
                                                         {"##FILEURL##", url}};
    for (const auto& [mark, value] : marks) {
        const auto at = text.find(mark);
        EXPECT_NE(at, std::string::npos) << mark;
        text.replace(at, mark.size(), value);
    }
    return text;
}

// The text between the link's quotes inside window.open('...').
std::string LinkOf(const std::string& entry) {
    const std::string open = "window.open('";
    const auto start = entry.find(open);
    if (start == std::string::npos)
        return {};
    const auto end = entry.find('\'', start + open.size());
    return entry.substr(start + open.size(), end - start - open.size());
}

std::string PercentDecode(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

class FileEntryTest : public ::testing::Test {
  protected:
    std::string MakeFile(const std::string& name, std::uintmax_t size = 10,
                         std::time_t when = August3rd) {
        const std::string path = tmp.Path() + name;
        WriteBytes(path, "");
        std::filesystem::resize_file(path, size);
        SetLastWrite(path, when);
        return path;
    }
    TempFolder tmp;
};

TEST(FileEntryTemplateTest, IsTheSevenLinesByteForByte) {
    // The entry as the download page shows it, one line per line and with
    // plain line feeds here; the entry itself ends every line with CR LF.
    const std::string expected = R"(
<table width="80%" border="0" cellspacing="0" cellpadding="5" bgcolor="#EEEEEE" style="border-radius:6px;; box-shadow: 3px 3px 3px #999;">
<tr><td colspan="2" bgcolor="#1D96B2" style="color:#FFFFFF; font-size: 14px; text-align:left; padding-bottom:4px;">&nbsp;&nbsp;##FILEEXT##</td></tr>
<tr><td colspan="2" style="color:#000000; font-size: 14px; text-align:left; padding-bottom:4px;">&nbsp;&nbsp;##FILENAME##</td></tr>
<tr><td width="35%" style="color:#000000; font-size: 12px; text-align:left; padding-bottom:4px;">&nbsp;&nbsp;Size: ##FILESIZE##</td><td style="color:#000000; font-size: 12px; text-align:left; padding-bottom:4px;">&nbsp;&nbsp;Date: ##FILEDATE##</td></tr>
<tr><td colspan="2" align="center"><button class="cbutton" onclick="window.open('##FILEURL##', '_blank', '');">Open</button><br><br></td></tr>
</table><br><br>
)";
    std::string crlf;
    for (char c : expected)
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);

    const std::string& entry = FileEntryTemplate();
    EXPECT_EQ(entry, crlf);
    // Seven lines, each ending in CR LF and in nothing else: no bare CR or LF.
    EXPECT_EQ(std::count(entry.begin(), entry.end(), '\r'), 7);
    EXPECT_EQ(std::count(entry.begin(), entry.end(), '\n'), 7);
    for (std::size_t at = entry.find('\n'); at != std::string::npos; at = entry.find('\n', at + 1))
        EXPECT_EQ(entry[at - 1], '\r') << "at byte " << at;
    EXPECT_EQ(entry.substr(0, 2), "\r\n");
    // Each mark once, so that a fill replaces all of it.
    for (const char* mark :
         {"##FILEEXT##", "##FILENAME##", "##FILESIZE##", "##FILEDATE##", "##FILEURL##"}) {
        const std::string m = mark;
        EXPECT_EQ(entry.find(m), entry.rfind(m)) << m;
        EXPECT_NE(entry.find(m), std::string::npos) << m;
    }
}

TEST_F(FileEntryTest, FillsTheExampleEntry) {
    const std::string path = MakeFile("holiday_at_the_seaside_2019.jpg", 5000000);
    EXPECT_EQ(FillFileEntry(path),
              Expected("JPG", "4.77 MB", "holiday_at_the_s....jpg", "08/03/19 14:05:09",
                       "dfiles/holiday_at_the_seaside_2019.jpg"));
}

TEST_F(FileEntryTest, ExtensionCell) {
    EXPECT_EQ(FillFileEntry(MakeFile("README", 1025)),
              Expected("", "1 KB", "README", "08/03/19 14:05:09", "dfiles/README"));
    EXPECT_EQ(
        FillFileEntry(MakeFile("notes.tar.gz", 0)),
        Expected("GZ", "0 Bytes", "notes.tar.gz", "08/03/19 14:05:09", "dfiles/notes.tar.gz"));
    // Only ASCII letters change case.
    EXPECT_EQ(
        FillFileEntry(MakeFile("clip.mP4é", 1536)),
        Expected("MP4é", "1.5 KB", "clip.mP4é", "08/03/19 14:05:09", "dfiles/clip.mP4%C3%A9"));
}

TEST_F(FileEntryTest, LongStemIsShortenedButLinkedWhole) {
    const std::string entry = FillFileEntry(MakeFile("abcdefghijklmnopqrstu.jpg"));
    EXPECT_NE(entry.find("&nbsp;&nbsp;abcdefghijklmnop....jpg</td>"), std::string::npos);
    EXPECT_EQ(LinkOf(entry), "dfiles/abcdefghijklmnopqrstu.jpg");
    // Twenty characters stay whole.
    EXPECT_NE(FillFileEntry(MakeFile("abcdefghijklmnopqrst.jpg"))
                  .find("&nbsp;&nbsp;abcdefghijklmnopqrst.jpg</td>"),
              std::string::npos);
}

TEST_F(FileEntryTest, MidnightShowsTheDateAlone) {
    const std::string entry = FillFileEntry(MakeFile("night.png", 10, August3rdMidnight));
    EXPECT_NE(entry.find("Date: 08/03/19</td>"), std::string::npos) << entry;
    // One second later the time is there again.
    const std::string later = FillFileEntry(MakeFile("later.png", 10, August3rdMidnight + 1));
    EXPECT_NE(later.find("Date: 08/03/19 00:00:01</td>"), std::string::npos) << later;
}

TEST_F(FileEntryTest, FileGoneSinceChosen) {
    const std::string path = tmp.Path() + "vanished.doc";
    const auto before = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    const std::string entry = FillFileEntry(path);
    const auto after = std::chrono::system_clock::now();

    EXPECT_NE(entry.find("Size: -1 Bytes</td>"), std::string::npos);
    EXPECT_EQ(LinkOf(entry), "dfiles/vanished.doc");
    // The date is the current time: parse it back and compare.
    std::smatch m;
    ASSERT_TRUE(std::regex_search(entry, m, std::regex(R"(Date: (\d\d/\d\d/\d\d \d\d:\d\d:\d\d))")))
        << entry;
    std::tm shown{};
    ASSERT_NE(strptime(m[1].str().c_str(), "%m/%d/%y %H:%M:%S", &shown), nullptr);
    const auto when = std::chrono::system_clock::from_time_t(timegm(&shown));
    EXPECT_GE(when, before);
    EXPECT_LE(when, after);
}

TEST_F(FileEntryTest, LinkNameOfTheCopyIsLinkedAndTheChosenNameShown) {
    const std::string entry = FillFileEntry(MakeFile("photo.jpg"), "photo(1).jpg");
    EXPECT_EQ(LinkOf(entry), "dfiles/photo%281%29.jpg");
    EXPECT_NE(entry.find("&nbsp;&nbsp;photo.jpg</td>"), std::string::npos);
}

// Names that would break the entry if inserted as they are.
TEST_F(FileEntryTest, AwkwardNamesShowAsTheyAreAndLinkTheRightFile) {
    const std::string names[] = {"Tom & Jerry's #1.txt",
                                 "100% sure?.pdf",
                                 "a \"quoted\" <b>.txt",
                                 "x');alert(1);('.js",
                                 "<img src=x onerror=alert(1)>",
                                 "##FILEDATE##.txt",
                                 "Ünïcødé photo.jpg"};
    const std::string shown[] = {"Tom &amp; Jerry&#39;s #1.txt",
                                 "100% sure?.pdf",
                                 "a &quot;quoted&quot; &lt;b&gt;.txt",
                                 "x&#39;);alert(1);(&#39;.js",
                                 "&lt;img src=x onerr...",
                                 "##FILEDATE##.txt",
                                 "Ünïcødé photo.jpg"};
    for (std::size_t i = 0; i < std::size(names); ++i) {
        SCOPED_TRACE(names[i]);
        const std::string entry = FillFileEntry(MakeFile(names[i]));
        EXPECT_NE(entry.find("&nbsp;&nbsp;" + shown[i] + "</td>"), std::string::npos) << entry;

        const std::string link = LinkOf(entry);
        ASSERT_EQ(link.rfind("dfiles/", 0), 0u);
        EXPECT_EQ(PercentDecode(link.substr(7)), names[i]);
        // Nothing in the link can end the JavaScript string, the attribute or
        // the URL's path.
        EXPECT_EQ(link.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                         "0123456789-._~%/"),
                  std::string::npos)
            << link;
        // The entry keeps its shape: exactly the template's markup around the values.
        EXPECT_EQ(std::count(entry.begin(), entry.end(), '<'),
                  std::count(FileEntryTemplate().begin(), FileEntryTemplate().end(), '<'));
        EXPECT_EQ(std::count(entry.begin(), entry.end(), '\''),
                  std::count(FileEntryTemplate().begin(), FileEntryTemplate().end(), '\''));
    }
}

TEST(EscapeTest, HtmlAndPercent) {
    EXPECT_EQ(htmtemplate::EscapeHtml("a&b<c>d\"e'f#g%h?i j"),
              "a&amp;b&lt;c&gt;d&quot;e&#39;f#g%h?i j");
    EXPECT_EQ(htmtemplate::PercentEncode("a&b'c#d e%f?g/h+i"), "a%26b%27c%23d%20e%25f%3Fg%2Fh%2Bi");
    EXPECT_EQ(htmtemplate::PercentEncode("Az09-._~"), "Az09-._~");
    EXPECT_EQ(htmtemplate::PercentEncode("\xC3\xA9"), "%C3%A9");
}

TEST(FileDateTextTest, UsesTheLocaleFormats) {
    std::tm t{};
    t.tm_year = 2019 - 1900;
    t.tm_mon = 7;
    t.tm_mday = 3;
    t.tm_hour = 14;
    t.tm_min = 5;
    t.tm_sec = 9;
    EXPECT_EQ(htmtemplate::FileDateText(t, std::locale::classic()), "08/03/19 14:05:09");
    // A day/month/year locale is used as it is (scripts/deps.sh generates it).
    std::locale british;
    ASSERT_NO_THROW(british = std::locale("en_GB.UTF-8")) << "run scripts/deps.sh";
    EXPECT_EQ(htmtemplate::FileDateText(t, british).substr(0, 6), "03/08/");
    t.tm_hour = t.tm_min = t.tm_sec = 0;
    EXPECT_EQ(htmtemplate::FileDateText(t, std::locale::classic()), "08/03/19");
}

// Run once more under a real day/month/year locale (see CMakeLists.txt): the
// user's locale, not the C locale, formats the date.
TEST_F(FileEntryTest, UnderTheUsersLocale) {
    const char* name = std::getenv("LC_ALL");
    if (name == nullptr || std::string(name) != "en_GB.UTF-8") {
        GTEST_SKIP() << "runs under LC_ALL=en_GB.UTF-8 only (ctest pages_tests_user_locale)";
    }
    ASSERT_NO_THROW(std::locale("")) << name << ": run scripts/deps.sh";
    EXPECT_EQ(FillFileEntry(MakeFile("holiday.jpg", 5000000)),
              Expected("JPG", "4.77 MB", "holiday.jpg", "03/08/19 14:05:09", "dfiles/holiday.jpg"));
}

} // namespace
