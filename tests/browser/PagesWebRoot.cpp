// Lays out a web root for the browser tests the way the program does: the
// pages from the real templates through GeneratePages, and publications
// through the program's own TPublisher, kept for the whole test run so each
// new selection withdraws the one before, as in the window.
//
//   pages_webroot generate <templateDir> <workDir> <key>
//   pages_webroot publisher <workDir> <key>
//   pages_webroot picture <path.jpg> <width> <height>
//
// The publisher reads one selection a line (paths separated by NUL; an
// empty line withdraws the publication; "text " and hex digits publish the
// text those UTF-8 bytes make, as a paste in the window does) and answers each with
// "ok <n listed>" and, one a line, the names the copies got, then "end";
// or "error <message>".

#include "app/core/PageGenerator.h"
#include "app/core/Publisher.h"
#include "app/core/TextNote.h"
#include "platform/platform.h"
#include "util/MiscFuncUnit.h"

#include <QByteArray>
#include <QDateTime>
#include <QImage>
#include <QPainter>
#include <exception>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

pages::PageFolders FoldersOf(const std::string& workDir) {
    pages::PageFolders folders;
    folders.webRoot = misc::IncludeTrailingDelimiter(workDir) + "wdoc/";
    folders.uploadPageDir = folders.webRoot + "u/";
    folders.uploadDir = folders.uploadPageDir + "ufiles/";
    folders.downloadPageDir = folders.webRoot + "d/";
    folders.downloadDir = folders.downloadPageDir + "dfiles/";
    return folders;
}

int Generate(const std::string& templateDir, const std::string& workDir, const std::string& key) {
    const auto folders = FoldersOf(workDir);
    for (const auto& folder : {folders.uploadDir, folders.downloadDir}) {
        if (!platform::CreateFolderTree(folder)) {
            std::cerr << "cannot create " << folder << "\n";
            return 1;
        }
    }
    pages::GeneratePages(misc::IncludeTrailingDelimiter(templateDir), folders, key);
    return 0;
}

// Paths of one selection are separated by NUL, the one byte no path holds.
std::vector<std::string> SplitPaths(const std::string& line) {
    std::vector<std::string> paths;
    std::istringstream in(line);
    for (std::string path; std::getline(in, path, '\0');) {
        paths.push_back(path);
    }
    return paths;
}

int Serve(const std::string& workDir, const std::string& key) {
    const auto folders = FoldersOf(workDir);
    appcore::TPublisher publisher(folders.downloadDir,
                                  appcore::FileListFragmentPath(folders.downloadPageDir, key));
    for (std::string line; std::getline(std::cin, line);) {
        try {
            if (line.empty()) {
                publisher.WithdrawPublication();
                std::cout << "ok 0\nend" << std::endl;
                continue;
            }
            std::vector<std::string> paths = SplitPaths(line);
            if (line.starts_with("text ")) {
                const QByteArray text =
                    QByteArray::fromHex(QByteArray::fromStdString(line.substr(5)));
                const std::string folder = workDir + "/pasted/";
                platform::CreateFolderTree(folder);
                const auto file = appcore::WriteTextFile(folder, QString::fromUtf8(text),
                                                         QDateTime::currentDateTime());
                paths = {file.value_or("")};
            }
            const int listed = publisher.PublishSelectedFiles(paths);
            std::cout << "ok " << listed << "\n";
            for (const auto& copy : publisher.PublishedCopies()) {
                std::cout << misc::ExtractFileName(copy) << "\n";
            }
            std::cout << "end" << std::endl;
        } catch (const std::exception& e) {
            std::cout << "error " << e.what() << std::endl;
        }
    }
    publisher.WithdrawPublication();
    return 0;
}

// A JPEG of a colourful pattern, so its preview has something to show.
int Picture(const std::string& path, int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    QPainter painter(&image);
    for (int band = 0; band < 8; ++band)
        painter.fillRect(band * width / 8, 0, width / 8 + 1, height,
                         QColor::fromHsv(band * 45, 200, 230));
    painter.setBrush(Qt::white);
    painter.drawEllipse(QPoint(width / 2, height / 2), width / 5, height / 5);
    painter.end();
    return image.save(QString::fromStdString(path), "JPEG", 90) ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    try {
        const std::string command = argc > 1 ? argv[1] : "";
        if (command == "generate" && argc == 5)
            return Generate(argv[2], argv[3], argv[4]);
        if (command == "publisher" && argc == 4)
            return Serve(argv[2], argv[3]);
        if (command == "picture" && argc == 5)
            return Picture(argv[2], std::stoi(argv[3]), std::stoi(argv[4]));
    } catch (const std::exception& e) {
        std::cerr << e.what() << "\n";
        return 1;
    }
    std::cerr << "usage: pages_webroot generate <templateDir> <workDir> <key>\n"
                 "       pages_webroot publisher <workDir> <key>\n"
                 "       pages_webroot picture <path.jpg> <width> <height>\n";
    return 2;
}
