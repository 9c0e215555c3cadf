// The real engine as a Windows program (under Wine here): serving, both
// upload interfaces byte for byte, the ways out of the web root that only
// Windows has, and the kill tool.

#include "EngineHarness.h"
#include "platform/platform.h"

#include <chrono>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <thread>
#include <windows.h>

namespace fs = std::filesystem;
using namespace enginetest;

namespace {

const std::string Boundary = "----TessaryWin32Boundary";

// The 8.3 name Windows gives an entry, as the phone could send it.
std::string ShortName(const fs::path& path) {
    wchar_t buffer[MAX_PATH] = {};
    if (GetShortPathNameW(path.c_str(), buffer, MAX_PATH) == 0) {
        return {};
    }
    return fs::path(buffer).filename().string();
}

class EngineWin32 : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        engine_ = std::make_unique<Engine>();
        const fs::path root = engine_->WebRoot();
        WriteFile(root / "index.html", "<p>welcome</p>");
        WriteFile(root / "u/ufiles/index.html", "<p>nothing here</p>");
        WriteFile(root / "u/ufiles/IMG_0001.jpg", "SECRET upload of another phone");
        WriteFile(root / "d/dfiles/clip.mp4", Pattern(100000, 7));
        WriteFile(root / "d/dfiles/a.txt", "plain a");
        WriteFile(root / "d/dfiles/a rather long name.text", "long name");
        // Hidden entries: dot names, which the engine never serves.
        WriteFile(root / ".secret-dot.txt", "SECRET dot");
        WriteFile(root / "d/.cache-folder/inside.txt", "SECRET in a dot folder");
        WriteFile(engine_->Work() / "secret.txt", "SECRET outside");
        WriteFile(engine_->Staging() / "m-99.part", "SECRET staged");
        WriteFile(root / "d/abcdef.html", "<p>download page</p>");
        proof_ = "Cookie: " + SetCookieOf(Request(engine_->Port(), "GET", "/d/abcdef.html"));
    }
    static void TearDownTestSuite() { engine_.reset(); }

    // As the phone that loaded the download page asks.
    static Reply Get(const std::string& target) {
        return Request(engine_->Port(), "GET", target, {}, {proof_});
    }

    static std::unique_ptr<Engine> engine_;
    static std::string proof_;
};

std::unique_ptr<Engine> EngineWin32::engine_;
std::string EngineWin32::proof_;

} // namespace

TEST_F(EngineWin32, ServesFilesIndexPagesAndRanges) {
    EXPECT_EQ(Get("/").body, "<p>welcome</p>");
    const Reply clip = Get("/d/dfiles/clip.mp4");
    EXPECT_EQ(clip.status, 200);
    EXPECT_EQ(clip.body, Pattern(100000, 7));
    EXPECT_EQ(clip.headers.at("content-type"), "video/mp4");
    EXPECT_EQ(Get("/d/dfiles/a%20rather%20long%20name.text").body, "long name");
    const Reply range = Request(engine_->Port(), "GET", "/d/dfiles/clip.mp4", {},
                                {proof_, "Range: bytes=1000-1999"});
    EXPECT_EQ(range.status, 206);
    EXPECT_EQ(range.body, Pattern(100000, 7).substr(1000, 1000));
    EXPECT_EQ(Get("/u/ufiles/").body, "<p>nothing here</p>");
    EXPECT_EQ(Get("/d").status, 301);
}

TEST_F(EngineWin32, WindowsWaysOutOfTheRootAreRefused) {
    // Short names carry no leading dot: only the long name shows what they are.
    const std::string shortDot = ShortName(engine_->WebRoot() / ".secret-dot.txt");
    const std::string shortDotFolder = ShortName(engine_->WebRoot() / "d/.cache-folder");
    const std::string shortUpload = ShortName(engine_->UploadDir() / "IMG_0001.jpg");
    const std::string shortLong =
        ShortName(engine_->WebRoot() / "d/dfiles/a rather long name.text");
    ASSERT_FALSE(shortLong.empty());
    std::vector<std::string> targets = {
        "/..\\secret.txt",
        "/d\\..\\..\\secret.txt",
        "/%5c..%5csecret.txt",
        "/d/%5c..%5c..%5csecret.txt",
        "/..%5c..%5csecret.txt",
        "/C:/Windows/win.ini",
        "/C:%5cWindows%5cwin.ini",
        "/c:secret.txt",
        "/%5c%5c127.0.0.1%5cc$%5cwindows%5cwin.ini",
        "//127.0.0.1/c$/windows/win.ini",
        "/%5c%5c?%5cC:%5cwindows%5cwin.ini",
        "/d/dfiles/a.txt::$DATA",
        "/d/dfiles/a.txt::%24DATA",
        "/d/dfiles/a.txt:x",
        "/d/dfiles/a.txt%3ax",
        "/d/dfiles/a.txt.",
        "/d/dfiles/a.txt%20",
        "/d/dfiles/a.txt.%20.",
        "/u/ufiles/IMG_0001.jpg.",
        "/u/ufiles/IMG_0001.jpg::$DATA",
        "/u/ufiles/img_0001.JPG",
        "/U/UFILES/IMG_0001.JPG",
        "/CON",
        "/nul.txt",
        "/COM1",
        "/d/dfiles/lpt1.mp4",
        "/d/AUX",
        "/.secret-dot.txt",
        "/%2esecret-dot.txt",
        "/../staging/m-99.part",
        "/..%5cstaging%5cm-99.part",
        "/..%5cSTAGING%5cm-99.part",
        "/..%5cStaging%5cM-99.PART",
    };
    ASSERT_FALSE(shortDot.empty());
    ASSERT_FALSE(shortDotFolder.empty());
    EXPECT_NE(shortDot.front(), '.') << shortDot;
    EXPECT_NE(shortDotFolder.front(), '.') << shortDotFolder;
    targets.push_back("/" + shortDot);
    targets.push_back("/d/" + shortDotFolder + "/inside.txt");
    if (!shortUpload.empty()) {
        targets.push_back("/u/ufiles/" + shortUpload);
    }
    for (const std::string& target : targets) {
        const Reply reply = Get(target);
        EXPECT_TRUE(reply.status == 404 || reply.status == 400) << target << " " << reply.status;
        EXPECT_EQ(reply.body.find("SECRET"), std::string::npos) << target;
        EXPECT_EQ(reply.body.find("[fonts]"), std::string::npos) << target;
    }
    // The short name of a servable file leads to it: only the checks on the
    // long name decide.
    const Reply viaShort = Get("/d/dfiles/" + shortLong);
    EXPECT_EQ(viaShort.status, 200);
    EXPECT_EQ(viaShort.body, "long name");
    EXPECT_TRUE(engine_->Running());
}

TEST(EngineWin32Proof, EverySpellingThatOpensAKeyPageNeedsTheKeyOrTheProof) {
    Engine engine;
    const fs::path root = engine.WebRoot();
    WriteFile(root / "d/abcdef.html", "download page");
    WriteFile(root / "d/filelist-abcdef.html", "the list");
    WriteFile(root / "d/dfiles/a.txt", "published");
    WriteFile(root / "d/dfiles/.bashrc", "dot name");
    const std::string listShort = ShortName(root / "d/filelist-abcdef.html");
    const std::string pageShort = ShortName(root / "d/abcdef.html");
    ASSERT_FALSE(listShort.empty());
    ASSERT_FALSE(pageShort.empty());
    ASSERT_NE(listShort, "filelist-abcdef.html");
    ASSERT_NE(pageShort, "abcdef.html");
    const std::vector<std::string> guarded = {"/d/dfiles/a.txt",         "/D/dfiles/a.txt",
                                              "/d/DFILES/A.TXT",         "/d/filelist-abcdef.html",
                                              "/D/FILELIST-abcdef.HTML", "/d/" + listShort,
                                              "/d/dfiles/.bashrc",       "/d/" + pageShort};
    for (const std::string& target : guarded) {
        EXPECT_EQ(Request(engine.Port(), "GET", target).status, 404) << target;
    }
    // Any spelling of the download page's long name gives the proof.
    const Reply page = Request(engine.Port(), "GET", "/D/abcdef.HTML");
    ASSERT_EQ(page.status, 200);
    EXPECT_EQ(page.body, "download page");
    const std::string proof = "Cookie: " + SetCookieOf(page);
    ASSERT_NE(proof, "Cookie: ");
    for (const std::string& target : guarded) {
        EXPECT_EQ(Request(engine.Port(), "GET", target, {}, {proof}).status, 200) << target;
    }
    EXPECT_EQ(Request(engine.Port(), "GET", "/d/dfiles/.bashrc", {}, {proof}).body, "dot name");
}

TEST(EngineWin32Proof, OtherSpellingsOfKeyPagesCountAsGuesses) {
    Engine engine;
    WriteFile(engine.WebRoot() / "d/filelist-abcdef.html", "the list");
    const std::string listShort = ShortName(engine.WebRoot() / "d/filelist-abcdef.html");
    ASSERT_FALSE(listShort.empty());
    const char* guesser = "127.0.0.9";
    const auto get = [&](const std::string& target) {
        return RawRequest(engine.Port(),
                          "GET " + target +
                              " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n",
                          false, guesser)
            .status;
    };
    // Nineteen wrong keys in other cases, then the list by its short name.
    for (int i = 0; i < 19; ++i) {
        const std::string letter(1, static_cast<char>('a' + i));
        EXPECT_EQ(get(i % 2 == 0 ? "/D/qqqqq" + letter + ".html" : "/d/RRRRR" + letter + ".HTML"),
                  404);
    }
    EXPECT_EQ(get("/d/" + listShort), 404);
    EXPECT_EQ(get("/U/abcdef.Html"), 429);
}

TEST(EngineWin32Upload, MultipartFilesArriveByteIdenticalUnderSafeNames) {
    Engine engine;
    const std::string photo = Pattern(2 * 1024 * 1024 + 5, 3);
    const std::string body = MultipartBody({{"IMG_0002.jpg", photo},
                                            {"notes.txt", "hello"},
                                            {"CON.txt", "device?"},
                                            {"a.txt:stream", "stream?"},
                                            {"dots...", "dots"}},
                                           Boundary);
    const Reply reply = Request(
        engine.Port(), "POST", "/api/form?key=abcdef", body,
        {"Content-Type: multipart/form-data; boundary=" + Boundary, "Accept: application/json"});
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_EQ(ReadFile(engine.UploadDir() / "IMG_0002.jpg"), photo);
    EXPECT_EQ(ReadFile(engine.UploadDir() / "notes.txt"), "hello");
    EXPECT_EQ(ReadFile(engine.UploadDir() / "_CON.txt"), "device?");
    EXPECT_EQ(ReadFile(engine.UploadDir() / "a.txt_stream"), "stream?");
    EXPECT_EQ(ReadFile(engine.UploadDir() / "dots"), "dots");
    EXPECT_EQ(FileNames(engine.UploadDir()),
              (std::vector<std::string>{"IMG_0002.jpg", "_CON.txt", "a.txt_stream", "dots",
                                        "notes.txt"}));
    EXPECT_TRUE(FileNames(engine.Staging()).empty());
}

TEST(EngineWin32Upload, ALongNameArrivesShortenedToAPathWindowsCanOpen) {
    Engine engine;
    const std::string longName = std::string(246, 'v') + ".mp4";
    const Reply chunk =
        Request(engine.Port(), "POST",
                "/api/upload?key=abcdef&id=long&name=" + longName + "&size=5&offset=0", "video",
                {"Content-Type: application/octet-stream"});
    EXPECT_EQ(chunk.status, 201) << chunk.body;
    const Reply form = Request(
        engine.Port(), "POST", "/api/form?key=abcdef",
        MultipartBody({{longName, "again"}}, Boundary),
        {"Content-Type: multipart/form-data; boundary=" + Boundary, "Accept: application/json"});
    EXPECT_EQ(form.status, 200) << form.body;
    const auto names = FileNames(engine.UploadDir());
    ASSERT_EQ(names.size(), 2u);
    for (const std::string& name : names) {
        EXPECT_TRUE(name.ends_with(".mp4")) << name;
        // A path Windows opens; the first name left room for its "(1)".
        EXPECT_LT((engine.UploadDir() / name).wstring().size(), 260u) << name;
    }
    EXPECT_TRUE(FileNames(engine.Staging()).empty());
}

TEST(EngineWin32Upload, ResumableUploadIsByteIdenticalAndLockedUntilComplete) {
    Engine engine;
    const std::string whole = Pattern(3 * 1024 * 1024 + 17, 9);
    const std::string id = "win32-resume-1";
    const auto target = [&](std::size_t offset) {
        return "/api/upload?key=abcdef&id=" + id +
               "&name=holiday%20clip.mp4&size=" + std::to_string(whole.size()) +
               "&offset=" + std::to_string(offset);
    };
    std::size_t offset = 0;
    Reply last;
    while (offset < whole.size()) {
        const std::size_t length = std::min<std::size_t>(1000000, whole.size() - offset);
        last = Request(engine.Port(), "POST", target(offset), whole.substr(offset, length),
                       {"Content-Type: application/octet-stream"});
        offset += length;
        if (offset < whole.size()) {
            ASSERT_EQ(last.status, 200) << last.body;
            // Nothing shows in the upload folder before the last byte.
            EXPECT_TRUE(FileNames(engine.UploadDir()).empty());
            const Reply progress = Request(engine.Port(), "GET", "/api/upload?key=abcdef&id=" + id);
            EXPECT_NE(progress.body.find("\"offset\": " + std::to_string(offset)),
                      std::string::npos)
                << progress.body;
        }
    }
    EXPECT_EQ(last.status, 201) << last.body;
    EXPECT_EQ(ReadFile(engine.UploadDir() / "holiday clip.mp4"), whole);
    EXPECT_TRUE(Eventually(
        [&] {
            return platform::TryOpenExclusive((engine.UploadDir() / "holiday clip.mp4").string());
        },
        std::chrono::seconds(10)));
    EXPECT_TRUE(FileNames(engine.Staging()).empty());
    // The engine never serves an upload.
    EXPECT_EQ(Request(engine.Port(), "GET", "/u/ufiles/holiday%20clip.mp4").status, 404);
}

TEST(EngineWin32Stop, AStopRequestEndsTheEngineCleanly) {
    Engine engine;
    int elapsed = 0;
    const auto status = engine.Terminate(10000, &elapsed);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, 0);
    EXPECT_FALSE(engine.Running());
}

TEST(EngineWin32Programs, NoConsoleAndTheWholeCommandLine) {
    // Both are programs of the GUI subsystem: Windows gives them no console
    // that could show, or end the engine when closed.
    for (const std::string& program : {EngineProgram(), KillToolProgram()}) {
        const std::string image = ReadFile(program);
        std::uint32_t header = 0;
        std::uint16_t subsystem = 0;
        ASSERT_GT(image.size(), 0x40u) << program;
        std::memcpy(&header, image.data() + 0x3C, sizeof header);
        // The signature, the file header, then the optional header's field.
        const std::size_t at =
            header + 4 + sizeof(IMAGE_FILE_HEADER) + offsetof(IMAGE_OPTIONAL_HEADER64, Subsystem);
        ASSERT_LT(at + sizeof subsystem, image.size()) << program;
        std::memcpy(&subsystem, image.data() + at, sizeof subsystem);
        EXPECT_EQ(subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI) << program;
    }
    // A web root named outside the ANSI code page reaches the engine whole.
    TempFolder work;
    fs::create_directories(work.Path() / fs::path(u8"wdoc-\u0416\u03A9/u/ufiles"));
    const ProgramRun run = RunEngineOnce(work.Path(),
                                         {"abcdef", "./wdoc-\xD0\x96\xCE\xA9", "--bind",
                                          "127.0.0.1", "--port", std::to_string(FreePort())},
                                         std::chrono::milliseconds(1500));
    EXPECT_EQ(run.status, 0) << run.errors;
    EXPECT_EQ(run.errors, "");
}

TEST(KillToolWin32, EndsTheUsersEngineAndSparesANamesake) {
    // The kill tool looks in the roaming application data folder; under
    // Wine that is the build's own prefix.
    const fs::path workDir = fs::path(platform::AppDataFolder()) / "Tessary";
    fs::create_directories(workDir);
    const fs::path engineFile = workDir / "TessaryEngine.exe";
    fs::copy_file(EngineProgram(), engineFile, fs::copy_options::overwrite_existing);

    StartOptions options;
    options.program = engineFile.string();
    auto engine = std::make_unique<Engine>(options);

    // Another engine of the same name, started from elsewhere.
    const EngineCopy elsewhere;
    StartOptions otherOptions;
    otherOptions.program = elsewhere.Path().string();
    Engine namesake(otherOptions);

    const auto runTool = [] {
        std::wstring line =
            L"\"" + fs::path(KillToolProgram()).wstring() + L"\" TessaryEngine.exe c";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                            &startup, &info)) {
            return -1;
        }
        CloseHandle(info.hThread);
        WaitForSingleObject(info.hProcess, 30000);
        DWORD code = 0;
        GetExitCodeProcess(info.hProcess, &code);
        CloseHandle(info.hProcess);
        return static_cast<int>(code);
    };
    EXPECT_EQ(runTool(), 0);
    EXPECT_TRUE(Eventually([&] { return !engine->Running(); }, std::chrono::seconds(10)));
    EXPECT_TRUE(namesake.Running());
    EXPECT_EQ(Request(namesake.Port(), "GET", "/").status, 404); // still answering
    EXPECT_EQ(runTool(), 1); // nothing of this user's left to end
    EXPECT_TRUE(namesake.Running());

    engine.reset();
    std::error_code ignored;
    fs::remove(engineFile, ignored);
}
