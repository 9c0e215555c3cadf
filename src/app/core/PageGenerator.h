#pragma once

// Writes the pages the engine serves to the phone from the templates that
// ship beside the program.

#include <string>

namespace pages {

// The folders of the web root the pages go into, each ending in a delimiter.
struct PageFolders {
    std::string webRoot;
    std::string uploadPageDir;
    std::string uploadDir;
    std::string downloadPageDir;
    std::string downloadDir;
};

// Writes this run's upload page ("u/<key>.html"), download page
// ("d/<key>.html", both with "##PCNAME##" removed), the initial file list
// ("d/filelist-<key>.html") and the neutral "index.html" of every folder
// (the one in the download folder hidden). A missing template writes nothing.
// Throws misc::FileError when the upload or download template cannot be read
// or its page cannot be written; the remaining pages are then not written.
// The plain copies and the attribute change never throw.
void GeneratePages(const std::string& templateDir, const PageFolders& folders,
                   const std::string& pageKey);

} // namespace pages
