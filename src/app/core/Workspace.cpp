#include "app/core/Workspace.h"

#include "platform/platform.h"
#include "util/MiscFuncUnit.h"

#include <initializer_list>
#include <string_view>

namespace workspace {

namespace {

const std::string EngineName = "TessaryEngine";

// A folder below parent: the names joined with this system's delimiter, so
// Windows shows and compares the paths it expects (...\Tessary\wdoc\).
std::string Folder(const std::string& parent, std::initializer_list<std::string_view> names) {
    std::string path = misc::IncludeTrailingDelimiter(parent);
    for (const std::string_view name : names) {
        path += name;
        path += platform::PathDelimiter;
    }
    return path;
}

} // namespace

std::string ExeDirOf(const std::string& executablePath) {
    return misc::IncludeTrailingDelimiter(misc::ExtractFilePath(executablePath));
}

WorkspaceFolders SetupWorkspaceFolders(const std::string& appDataFolder,
                                       const std::string& exeDir) {
    WorkspaceFolders f;
    f.WorkDir = Folder(appDataFolder, {"Tessary"});
    f.ExeDir = misc::IncludeTrailingDelimiter(exeDir);
    f.TemplateDir = Folder(f.ExeDir, {"pdata"});
    f.WebRoot = Folder(f.WorkDir, {"wdoc"});
    f.UploadPageDir = Folder(f.WebRoot, {"u"});
    f.UploadDir = Folder(f.WebRoot, {"u", "ufiles"});
    f.DownloadPageDir = Folder(f.WebRoot, {"d"});
    f.DownloadDir = Folder(f.WebRoot, {"d", "dfiles"});
    return f;
}

void CreateWorkspaceFolders(const WorkspaceFolders& folders) {
    for (const std::string* path : {&folders.WebRoot, &folders.UploadPageDir, &folders.UploadDir,
                                    &folders.DownloadPageDir, &folders.DownloadDir}) {
        misc::EnsureFolder(*path);
    }
}

std::string MakePageKey() {
    return misc::RandomLetters();
}

std::string DefaultReceiveDir(const std::string& documentsFolder, const QDate& date) {
    return Folder(documentsFolder,
                  {"Tessary", date.toString(QStringLiteral("yyyyMMdd")).toStdString()});
}

std::string ReceiveDirFromText(const std::string& text) {
    return misc::IncludeTrailingDelimiter(misc::Trim(text));
}

std::string EngineProgram(const std::string& workDir) {
    return misc::IncludeTrailingDelimiter(workDir) + EngineName +
           std::string(platform::ExecutableSuffix);
}

std::string EngineParameters(const std::string& pageKey) {
    return pageKey + " \"./wdoc\"";
}

std::string KillToolProgram(const std::string& exeDir) {
    return Folder(exeDir, {"pdata"}) + "pskl" + std::string(platform::ExecutableSuffix);
}

std::string KillToolParameters() {
    return EngineName + std::string(platform::ExecutableSuffix) + " c";
}

} // namespace workspace
