// How the real engine says no: a full house, a lost upload folder, a commit
// that fails part-way, a start without a web root or a staging folder, wrong
// methods, and the pages a form without JavaScript gets.

#include "EngineHarness.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace fs = std::filesystem;
using namespace enginetest;

namespace {

const std::string Boundary = "----RefusalBoundary0Zp8";
constexpr std::size_t KiB = 1024;

std::string ChunkRequest(const std::string& id, const std::string& name, const std::string& body,
                         std::size_t size) {
    return "POST /api/upload?key=abcdef&id=" + id + "&name=" + name +
           "&size=" + std::to_string(size) +
           "&offset=0 HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

Reply PostForm(const Engine& engine, const std::string& target, const std::string& body,
               bool json) {
    std::vector<std::string> headers = {"Content-Type: multipart/form-data; boundary=" + Boundary};
    if (json) {
        headers.push_back("Accept: application/json");
    }
    return Request(engine.Port(), "POST", target, body, headers);
}

// Runs the engine program in work with the given web root until it ends.
ProgramRun RunEngine(const fs::path& work, const std::string& webRoot) {
    return RunEngineOnce(
        work, {"abcdef", webRoot, "--bind", "127.0.0.1", "--port", std::to_string(FreePort())});
}

} // namespace

TEST(EngineRefusal, BusyWhenEveryUploadPlaceIsTaken) {
    Engine engine;
    // 256 unfinished uploads fill the places: seven clients hold 32, one 31
    // and one a single place, so the one with 31 has none to take from another.
    for (int client = 1; client < 10; ++client) {
        const std::string source = "127.0.0." + std::to_string(client);
        for (int i = 0; i < (client == 1 ? 1 : client == 9 ? 31 : 32); ++i) {
            Connection connection(engine.Port(), source);
            ASSERT_TRUE(connection.Send(ChunkRequest(
                "u" + std::to_string(client) + "x" + std::to_string(i), "a.bin", "", 5)));
            ASSERT_EQ(connection.Receive().status, 200) << source << " " << i;
        }
    }
    const std::string late = ChunkRequest("late", "late.txt", "hello", 5);
    const Reply busy = RawRequest(engine.Port(), late, false, "127.0.0.9");
    EXPECT_EQ(busy.status, 503);
    EXPECT_EQ(busy.body, "{\"error\": \"busy\", \"message\": \"The PC is receiving too many files "
                         "at once. Try again shortly.\"}");
    EXPECT_FALSE(fs::exists(engine.UploadDir() / "late.txt"));
    // A place given back is taken by the next upload.
    EXPECT_EQ(Request(engine.Port(), "DELETE", "/api/upload?key=abcdef&id=u2x0").status, 204);
    EXPECT_EQ(RawRequest(engine.Port(), late, false, "127.0.0.9").status, 201);
    EXPECT_EQ(ReadFile(engine.UploadDir() / "late.txt"), "hello");
}

TEST(EngineRefusal, AnUploadFolderThatCannotBeMadeGives500AndKeepsNothing) {
    Engine engine;
    // The folder is gone and a file stands where it was, so it cannot be made again.
    fs::remove_all(engine.UploadDir());
    WriteFile(engine.UploadDir(), "not a folder");

    const Reply resumable = RawRequest(engine.Port(), ChunkRequest("f1", "a.txt", "hello", 5));
    EXPECT_EQ(resumable.status, 500);
    EXPECT_NE(resumable.body.find("\"error\": \"failed\""), std::string::npos) << resumable.body;
    EXPECT_EQ(Request(engine.Port(), "GET", "/api/upload?key=abcdef&id=f1").status, 404);
    const Reply form = PostForm(engine, "/api/form?key=abcdef",
                                MultipartBody({{"b.txt", "form"}}, Boundary), true);
    EXPECT_EQ(form.status, 500);
    EXPECT_TRUE(FileNames(engine.Staging()).empty());

    // Once the folder can be made again, uploads land there.
    fs::remove(engine.UploadDir());
    EXPECT_EQ(RawRequest(engine.Port(), ChunkRequest("f2", "a.txt", "hello", 5)).status, 201);
    EXPECT_EQ(ReadFile(engine.UploadDir() / "a.txt"), "hello");
}

TEST(EngineRefusal, ACommitFailingPartWayKeepsWhatArrivedWholeAndNothingElse) {
    const std::string why = EnterPrivateMountNamespace();
    if (!why.empty()) {
        GTEST_SKIP() << "needs a small disk of its own: " << why;
    }
    // The upload folder is another, small disk: the first file fits, the second not.
    StartOptions options;
    options.uploadDiskBytes = 1024 * KiB;
    Engine engine(options);
    const std::string first = Pattern(600 * KiB, 41);
    const std::string second = Pattern(600 * KiB, 42);
    const Reply reply = PostForm(
        engine, "/api/form?key=abcdef",
        MultipartBody({{"first.jpg", first}, {"second.jpg", second}, {"third.jpg", "3"}}, Boundary),
        true);
    EXPECT_EQ(reply.status, 500);
    EXPECT_NE(reply.body.find("\"error\": \"failed\""), std::string::npos) << reply.body;
    // No partial copy, nothing left over in staging.
    EXPECT_EQ(FileNames(engine.UploadDir()), std::vector<std::string>{"first.jpg"});
    EXPECT_EQ(ReadFile(engine.UploadDir() / "first.jpg"), first);
    EXPECT_TRUE(FileNames(engine.Staging()).empty());
}

TEST(EngineRefusal, StartUpWithoutAWebRootOrAStagingFolderEndsWithAReason) {
    TempFolder work;
    const auto [noRoot, rootError] = RunEngine(work.Path(), "./wdoc");
    EXPECT_EQ(noRoot, 1);
    EXPECT_NE(rootError.find("web root not found: ./wdoc"), std::string::npos) << rootError;

    fs::create_directories(work.Path() / "wdoc");
    WriteFile(work.Path() / "staging", "a file where the staging folder goes");
    const auto [noStaging, stagingError] = RunEngine(work.Path(), "./wdoc");
    EXPECT_EQ(noStaging, 1);
    EXPECT_NE(stagingError.find("cannot use the staging folder"), std::string::npos)
        << stagingError;
    EXPECT_EQ(ReadFile(work.Path() / "staging"), "a file where the staging folder goes");

    // The same folder with a usable staging folder starts.
    fs::remove(work.Path() / "staging");
    fs::create_directories(work.Path() / "wdoc/u/ufiles");
    WriteFile(work.Path() / "staging/r-old.part", "left over");
    const ProgramRun started = RunEngineOnce(
        work.Path(),
        {"abcdef", "./wdoc", "--bind", "127.0.0.1", "--port", std::to_string(FreePort())},
        std::chrono::seconds(1));
    EXPECT_EQ(started.status, 0) << started.errors;
    EXPECT_TRUE(FileNames(work.Path() / "staging").empty());
}

TEST(EngineRefusal, WrongMethodsGet405WithWhatIsAllowed) {
    Engine engine;
    WriteFile(engine.WebRoot() / "d/dfiles/a.txt", "a");
    Reply putUpload = Request(engine.Port(), "PUT", "/api/upload?key=abcdef&id=x", "a");
    EXPECT_EQ(putUpload.status, 405);
    EXPECT_EQ(putUpload.headers.at("allow"), "GET, HEAD, POST, DELETE");
    const Reply getForm = Request(engine.Port(), "GET", "/api/form?key=abcdef");
    EXPECT_EQ(getForm.status, 405);
    EXPECT_EQ(getForm.headers.at("allow"), "POST");
    for (const std::string method : {"POST", "PUT", "DELETE", "PATCH"}) {
        const Reply file = Request(engine.Port(), method, "/d/dfiles/a.txt", "x");
        EXPECT_EQ(file.status, 405) << method;
        EXPECT_EQ(file.headers.at("allow"), "GET, HEAD") << method;
    }
    EXPECT_EQ(ReadFile(engine.WebRoot() / "d/dfiles/a.txt"), "a");
}

TEST(EngineRefusal, AFormWithoutJavaScriptShowsDiskFullAndCutUploadsOnAPage) {
    Engine engine;
    const std::string back = "<a href=\"/u/abcdef.html\">Send more files</a>";
    // Announced larger than any disk.
    Connection full(engine.Port());
    ASSERT_TRUE(full.Send("POST /u/abcdef.html HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
                          "multipart/form-data; boundary=" +
                          Boundary + "\r\nContent-Length: " + std::to_string(1LL << 56) +
                          "\r\n\r\n"));
    const Reply fullPage = full.Receive();
    EXPECT_EQ(fullPage.status, 507);
    EXPECT_EQ(fullPage.headers.at("content-type"), "text/html; charset=utf-8");
    EXPECT_NE(fullPage.body.find(
                  "<p>The PC&#39;s disk is full. Free some space on the PC and try again.</p>"),
              std::string::npos)
        << fullPage.body;
    EXPECT_NE(fullPage.body.find(back), std::string::npos);

    // A body that stops before its end.
    std::string body = MultipartBody({{"a.jpg", Pattern(5000, 43)}}, Boundary);
    body.resize(body.size() / 2);
    const Reply cutPage = PostForm(engine, "/u/abcdef.html", body, false);
    EXPECT_EQ(cutPage.status, 400);
    EXPECT_EQ(cutPage.headers.at("content-type"), "text/html; charset=utf-8");
    EXPECT_NE(cutPage.body.find("<p>The upload arrived incomplete. Try again.</p>"),
              std::string::npos)
        << cutPage.body;
    EXPECT_NE(cutPage.body.find(back), std::string::npos);
    EXPECT_TRUE(FileNames(engine.UploadDir()).empty());
    EXPECT_TRUE(FileNames(engine.Staging()).empty());
}
