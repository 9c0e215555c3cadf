#pragma once

// The run's folder layout, its page key and the receiving folder's path, as
// plain computations over the two folders the program starts from. No widgets.

#include <QDate>
#include <string>
#include <string_view>

namespace workspace {

// Every path ends in a delimiter.
struct WorkspaceFolders {
    std::string WorkDir;         // per-user work folder; the engine runs here
    std::string ExeDir;          // the program's own folder
    std::string TemplateDir;     // templates and the kill tool, never written
    std::string WebRoot;         // what the engine serves
    std::string UploadPageDir;   // this run's upload page
    std::string UploadDir;       // where the engine stores uploads
    std::string DownloadPageDir; // this run's download page and file list
    std::string DownloadDir;     // copies published to the phone
};

// The folder of the program file, with a trailing delimiter.
std::string ExeDirOf(const std::string& executablePath);

// The layout below appDataFolder and exeDir (both ending in a delimiter).
// Computes only; CreateWorkspaceFolders makes them exist.
WorkspaceFolders SetupWorkspaceFolders(const std::string& appDataFolder, const std::string& exeDir);

// Creates WebRoot (and with it WorkDir), then the upload page, upload,
// download page and download folders, in that order. Failures are swallowed:
// start-up goes on without them.
void CreateWorkspaceFolders(const WorkspaceFolders& folders);

// Six letters "a" to "z", each equally likely, from the operating system's
// random source: the key guards this run's pages. Throws std::runtime_error
// when the source fails.
std::string MakePageKey();

// documentsFolder + "Tessary/" + date as yyyymmdd + "/".
std::string DefaultReceiveDir(const std::string& documentsFolder, const QDate& date);

// The receiving folder named by the text of the path box: trimmed of blanks and
// control characters, with a trailing delimiter.
std::string ReceiveDirFromText(const std::string& text);

// The engine program in the work folder and its command line: the page key,
// then the web root relative to the work folder.
std::string EngineProgram(const std::string& workDir);
std::string EngineParameters(const std::string& pageKey);

// The kill tool beside the templates and the parameters that end the engine.
std::string KillToolProgram(const std::string& exeDir);
std::string KillToolParameters();

} // namespace workspace
