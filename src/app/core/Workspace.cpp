#include "app/core/Workspace.h"

#include "platform/platform.h"
#include "util/MiscFuncUnit.h"

namespace workspace {

namespace {

const std::string EngineName = "TessaryEngine";

} // namespace

std::string ExeDirOf(const std::string& executablePath) {
    return misc::IncludeTrailingDelimiter(misc::ExtractFilePath(executablePath));
}

WorkspaceFolders SetupWorkspaceFolders(const std::string& appDataFolder,
                                       const std::string& exeDir) {
    WorkspaceFolders f;
    f.WorkDir = misc::IncludeTrailingDelimiter(appDataFolder) + "Tessary/";
    f.ExeDir = misc::IncludeTrailingDelimiter(exeDir);
    f.TemplateDir = f.ExeDir + "pdata/";
    f.WebRoot = f.WorkDir + "wdoc/";
    f.UploadPageDir = f.WebRoot + "u/";
    f.UploadDir = f.WebRoot + "u/ufiles/";
    f.DownloadPageDir = f.WebRoot + "d/";
    f.DownloadDir = f.WebRoot + "d/dfiles/";
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
    return misc::IncludeTrailingDelimiter(documentsFolder) + "Tessary/" +
           date.toString(QStringLiteral("yyyyMMdd")).toStdString() + "/";
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
    return misc::IncludeTrailingDelimiter(exeDir) + "pdata/pskl" +
           std::string(platform::ExecutableSuffix);
}

std::string KillToolParameters() {
    return EngineName + std::string(platform::ExecutableSuffix) + " c";
}

} // namespace workspace
