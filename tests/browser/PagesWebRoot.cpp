// Lays out a web root for the browser tests the way the program does: the
// pages from the real templates through GeneratePages, and published files
// with a file list made of FillFileEntry entries.
//
//   pages_webroot generate <templateDir> <workDir> <key>
//   pages_webroot publish <workDir> <key> <file>...

#include "app/core/PageGenerator.h"
#include "platform/platform.h"
#include "util/HTMTemplateUnit.h"
#include "util/MiscFuncUnit.h"

#include <exception>
#include <fstream>
#include <iostream>
#include <string>

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

int Publish(const std::string& workDir, const std::string& key, char** files, int count) {
    const auto folders = FoldersOf(workDir);
    std::string list;
    for (int i = 0; i < count; ++i) {
        const std::string source = files[i];
        const std::string name = misc::ExtractFileName(source);
        if (!platform::CopyFile(source, folders.downloadDir + name,
                                platform::CopyMode::Overwrite)) {
            std::cerr << "cannot copy " << source << "\n";
            return 1;
        }
        list += htmtemplate::FillFileEntry(source, name) + "\r\n";
    }
    std::ofstream out(folders.downloadPageDir + "filelist-" + key + ".html",
                      std::ios::binary | std::ios::trunc);
    out << list;
    return out ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    try {
        const std::string command = argc > 1 ? argv[1] : "";
        if (command == "generate" && argc == 5)
            return Generate(argv[2], argv[3], argv[4]);
        if (command == "publish" && argc >= 4)
            return Publish(argv[2], argv[3], argv + 4, argc - 4);
    } catch (const std::exception& e) {
        std::cerr << e.what() << "\n";
        return 1;
    }
    std::cerr << "usage: pages_webroot generate <templateDir> <workDir> <key>\n"
                 "       pages_webroot publish <workDir> <key> <file>...\n";
    return 2;
}
