// The files a file manager's drag or copy carries, read from its mime data
// without a display.

#include "app/core/DroppedFiles.h"

#include "ReceiveTestSupport.h"

#include <QMimeData>
#include <QUrl>
#include <gtest/gtest.h>

using appcore::FilesFromMimeData;
using receivetest::TempFolder;
using receivetest::WriteFile;

namespace {

QString Q(const std::string& path) {
    return QString::fromStdString(path);
}

QByteArray Url(const std::string& path) {
    return QUrl::fromLocalFile(Q(path)).toEncoded();
}

} // namespace

TEST(DroppedFiles, UriListGivesFilesInOrderAndCountsFolders) {
    TempFolder folder;
    WriteFile(folder.Path("b.txt"), "B");
    WriteFile(folder.Path("a b é.jpg"), "A");
    std::filesystem::create_directories(folder.Path("album"));
    WriteFile(folder.Path("album/inside.jpg"), "in");
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(Q(folder.Path("b.txt"))),
                  QUrl::fromLocalFile(Q(folder.Path("album"))), QUrl("https://example.org/c.jpg"),
                  QUrl::fromLocalFile(Q(folder.Path("a b é.jpg"))),
                  QUrl::fromLocalFile(Q(folder.Path("gone.pdf")))});
    const auto dropped = FilesFromMimeData(data);
    // A name that is not there is kept, as a name typed into the dialog is;
    // publishing passes over it.
    EXPECT_EQ(dropped.files, (QStringList{Q(folder.Path("b.txt")), Q(folder.Path("a b é.jpg")),
                                          Q(folder.Path("gone.pdf"))}));
    EXPECT_EQ(dropped.foldersPassedOver, 1);
}

TEST(DroppedFiles, GnomeCopiedFilesAreReadWhenThereIsNoUriList) {
    TempFolder folder;
    WriteFile(folder.Path("c d.pdf"), "C");
    WriteFile(folder.Path("e.txt"), "E");
    for (const char* verb : {"copy", "cut"}) {
        QMimeData data;
        data.setData("x-special/gnome-copied-files",
                     QByteArray(verb) + "\n" + Url(folder.Path("c d.pdf")) + "\n" +
                         Url(folder.Path("")) + "\n" + Url(folder.Path("e.txt")) + "\n");
        const auto dropped = FilesFromMimeData(data);
        EXPECT_EQ(dropped.files, (QStringList{Q(folder.Path("c d.pdf")), Q(folder.Path("e.txt"))}))
            << verb;
        EXPECT_EQ(dropped.foldersPassedOver, 1) << verb;
    }
}

TEST(DroppedFiles, TextAndWebLinksCarryNoFiles) {
    QMimeData text;
    text.setText("/etc/hostname");
    EXPECT_TRUE(FilesFromMimeData(text).files.isEmpty());
    QMimeData links;
    links.setUrls({QUrl("https://example.org/a.jpg"), QUrl("ftp://example.org/b")});
    const auto dropped = FilesFromMimeData(links);
    EXPECT_TRUE(dropped.files.isEmpty());
    EXPECT_EQ(dropped.foldersPassedOver, 0);
}

TEST(DroppedFiles, TheTooltipNamesHowManyFoldersWerePassedOver) {
    EXPECT_TRUE(appcore::FoldersPassedOverText(0).isEmpty());
    EXPECT_TRUE(appcore::FoldersPassedOverText(1).startsWith("1 folder was passed over"));
    EXPECT_TRUE(appcore::FoldersPassedOverText(3).startsWith("3 folders were passed over"));
}
