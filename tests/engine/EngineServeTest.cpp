// The real engine serving a temporary web root on a loopback port.

#include "EngineHarness.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <thread>

namespace fs = std::filesystem;
using namespace enginetest;

namespace {

class EngineServe : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        engine_ = std::make_unique<Engine>();
        const fs::path root = engine_->WebRoot();
        WriteFile(root / "index.html", "<p>welcome</p>");
        WriteFile(root / "u/index.html", "<p>upload</p>");
        WriteFile(root / "d/abcdef.html", "<p>download</p>");
        WriteFile(root / "u/ufiles/index.html", "<p>nothing here</p>");
        WriteFile(root / "u/ufiles/IMG_0001.jpg", "SECRET upload of another phone");
        WriteFile(root / "d/dfiles/clip.mp4", Pattern(100000, 7));
        WriteFile(root / "d/dfiles/My Photo (1).jpg", "jpeg bytes");
        WriteFile(root / "d/dfiles/empty.txt", "");
        WriteFile(root / ".hidden", "hidden");
        WriteFile(root / "u/.cache/x.txt", "dot folder");
        WriteFile(root / "d/noindex/file.txt", "no index here");
        // What lies outside the web root.
        WriteFile(engine_->Work() / "secret.txt", "SECRET");
        WriteFile(engine_->Staging() / "m-99.part", "STAGED");
        // Wine cannot make symbolic links; only the test of links needs them.
        std::error_code noLinks;
        fs::create_directory_symlink(engine_->Work(), root / "d/linkout", noLinks);
        if (!noLinks)
            fs::create_symlink(engine_->Work() / "secret.txt", root / "d/secretlink.txt", noLinks);
        if (!noLinks)
            fs::create_directory_symlink(engine_->Staging(), root / "d/stage", noLinks);
        if (!noLinks)
            fs::create_symlink(root / "d/dfiles/clip.mp4", root / "d/inside.mp4", noLinks);
        links_ = !noLinks;
        // Published files are for the browser that loaded the download page.
        proof_ = "Cookie: " + SetCookieOf(Request(engine_->Port(), "GET", "/d/abcdef.html"));
    }
    static void TearDownTestSuite() { engine_.reset(); }

    static Reply Get(const std::string& target, std::vector<std::string> headers = {}) {
        headers.push_back(proof_);
        return Request(engine_->Port(), "GET", target, {}, headers);
    }

    static std::unique_ptr<Engine> engine_;
    static std::string proof_;
    static bool links_;
};

std::unique_ptr<Engine> EngineServe::engine_;
std::string EngineServe::proof_;
bool EngineServe::links_ = false;

} // namespace

TEST_F(EngineServe, ServesFilesAndFolderIndexPages) {
    const Reply root = Get("/");
    EXPECT_EQ(root.status, 200);
    EXPECT_EQ(root.body, "<p>welcome</p>");
    EXPECT_EQ(root.headers.at("content-type"), "text/html; charset=utf-8");
    EXPECT_EQ(root.headers.at("cache-control"), "no-store");

    EXPECT_EQ(Get("/u/").body, "<p>upload</p>");
    const Reply redirect = Get("/u");
    EXPECT_EQ(redirect.status, 301);
    EXPECT_EQ(redirect.headers.at("location"), "/u/");
    // A folder without an index page is never listed.
    EXPECT_EQ(Get("/d/noindex/").status, 404);
    EXPECT_EQ(Get("/d/dfiles/").status, 404);

    const Reply photo = Get("/d/dfiles/My%20Photo%20%281%29.jpg");
    EXPECT_EQ(photo.status, 200);
    EXPECT_EQ(photo.body, "jpeg bytes");
    EXPECT_EQ(photo.headers.at("content-type"), "image/jpeg");
    EXPECT_NE(photo.headers.at("cache-control"), "no-store");

    const Reply empty = Get("/d/dfiles/empty.txt");
    EXPECT_EQ(empty.status, 200);
    EXPECT_EQ(empty.headers.at("content-length"), "0");
    EXPECT_EQ(Get("/d/dfiles/missing.jpg").status, 404);
}

TEST_F(EngineServe, LinksAreFollowedOnlyWithinTheRoot) {
    if (!links_)
        GTEST_SKIP() << "this system cannot make symbolic links (Wine)";
    EXPECT_EQ(Get("/d/inside.mp4").body, Pattern(100000, 7));
    for (const std::string target :
         {"/d/linkout/secret.txt", "/d/secretlink.txt", "/d/stage/m-99.part", "/d/linkout/"}) {
        const Reply reply = Get(target);
        EXPECT_EQ(reply.status, 404) << target;
        EXPECT_EQ(reply.body.find("SECRET"), std::string::npos) << target;
        EXPECT_EQ(reply.body.find("STAGED"), std::string::npos) << target;
    }
}

TEST_F(EngineServe, HeadSendsHeadersOnly) {
    Connection connection(engine_->Port());
    ASSERT_TRUE(connection.Send("HEAD /d/dfiles/clip.mp4 HTTP/1.1\r\nHost: 127.0.0.1\r\n" + proof_ +
                                "\r\n\r\n"
                                "GET /index.html HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    const Reply head = connection.Receive(true);
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.headers.at("content-length"), "100000");
    EXPECT_EQ(head.headers.at("content-type"), "video/mp4");
    // The next reply on the same connection follows directly: no body in between.
    const Reply next = connection.Receive();
    EXPECT_EQ(next.status, 200);
    EXPECT_EQ(next.body, "<p>welcome</p>");
}

TEST_F(EngineServe, ByteRangesForPlayingAndResuming) {
    const std::string clip = Pattern(100000, 7);
    const Reply middle = Get("/d/dfiles/clip.mp4", {"Range: bytes=1000-1999"});
    EXPECT_EQ(middle.status, 206);
    EXPECT_EQ(middle.body, clip.substr(1000, 1000));
    EXPECT_EQ(middle.headers.at("content-range"), "bytes 1000-1999/100000");
    EXPECT_EQ(middle.headers.at("accept-ranges"), "bytes");

    const Reply tail = Get("/d/dfiles/clip.mp4", {"Range: bytes=-10"});
    EXPECT_EQ(tail.status, 206);
    EXPECT_EQ(tail.body, clip.substr(99990));

    const Reply open = Get("/d/dfiles/clip.mp4", {"Range: bytes=99000-"});
    EXPECT_EQ(open.status, 206);
    EXPECT_EQ(open.body, clip.substr(99000));

    const Reply outside = Get("/d/dfiles/clip.mp4", {"Range: bytes=100000-"});
    EXPECT_EQ(outside.status, 416);
    EXPECT_EQ(outside.headers.at("content-range"), "bytes */100000");

    const Reply several = Get("/d/dfiles/clip.mp4", {"Range: bytes=0-1,5-9"});
    EXPECT_EQ(several.status, 200);
    EXPECT_EQ(several.body.size(), clip.size());
}

TEST_F(EngineServe, TheUploadFolderShowsOnlyItsDefaultPage) {
    EXPECT_EQ(Get("/u/ufiles/").body, "<p>nothing here</p>");
    EXPECT_EQ(Get("/u/ufiles/index.html").status, 200);
    EXPECT_EQ(Get("/u/ufiles/IMG_0001.jpg").status, 404);
}

TEST_F(EngineServe, NothingOutsideTheRootOrHiddenIsServed) {
    for (const std::string target : {"/../secret.txt",
                                     "/u/../../secret.txt",
                                     "/%2e%2e/secret.txt",
                                     "/%2E%2E/secret.txt",
                                     "/u/%2e%2e/%2e%2e/secret.txt",
                                     "/..%2fsecret.txt",
                                     "/u%2f..%2f..%2fsecret.txt",
                                     "/..\\secret.txt",
                                     "/u\\..\\..\\secret.txt",
                                     "/%5c..%5csecret.txt",
                                     "/index.html%00.png",
                                     "/.hidden",
                                     "/%2ehidden",
                                     "/u/.cache/x.txt",
                                     "/staging/m-99.part",
                                     "/../staging/m-99.part",
                                     "/%252e%252e/secret.txt",
                                     "//..//secret.txt",
                                     "secret.txt",
                                     "/u/ufiles/IMG_0001.jpg",
                                     "/u/ufiles/../ufiles/IMG_0001.jpg"}) {
        const Reply reply = Get(target);
        EXPECT_EQ(reply.status, 404) << target;
        EXPECT_EQ(reply.body.find("SECRET"), std::string::npos) << target;
        EXPECT_EQ(reply.body.find("STAGED"), std::string::npos) << target;
    }
}

TEST_F(EngineServe, OtherMethodsAreRefused) {
    const Reply put = Request(engine_->Port(), "PUT", "/index.html", "x");
    EXPECT_EQ(put.status, 405);
    EXPECT_EQ(put.headers.at("allow"), "GET, HEAD");
    EXPECT_EQ(Request(engine_->Port(), "POST", "/index.html", "x").status, 405);
    EXPECT_EQ(Request(engine_->Port(), "DELETE", "/index.html").status, 405);
}

TEST_F(EngineServe, OversizedRequestsAreRefusedWithoutGrowing) {
    const long before = engine_->PeakRssKiB();
    ASSERT_GT(before, 0);
    const Reply longLine =
        RawRequest(engine_->Port(), "GET /" + std::string(1 << 20, 'a') + " HTTP/1.1\r\n\r\n");
    EXPECT_GE(longLine.status, 400);
    EXPECT_LT(longLine.status, 500);
    std::string manyHeaders = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    for (int i = 0; i < 20000; ++i) {
        manyHeaders += "X-Filler-" + std::to_string(i) + ": " + std::string(100, 'v') + "\r\n";
    }
    const Reply headers = RawRequest(engine_->Port(), manyHeaders + "\r\n");
    EXPECT_GE(headers.status, 400);
    EXPECT_LT(headers.status, 500);
    EXPECT_LT(engine_->PeakRssKiB() - before, 2048);
    EXPECT_EQ(Get("/").status, 200);
}

TEST_F(EngineServe, IdleAndTricklingConnectionsDoNotStallOthers) {
    std::vector<std::unique_ptr<Connection>> idle;
    // From another host: one host has a share of the connections only.
    for (int i = 0; i < 40; ++i) {
        auto connection = std::make_unique<Connection>(engine_->Port(), "127.0.0.2");
        ASSERT_TRUE(connection->IsOpen());
        if (i % 2 == 0) {
            connection->Send("GET /index.html HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ");
        }
        idle.push_back(std::move(connection));
    }
    for (int i = 0; i < 5; ++i) {
        const Reply reply = Get("/d/dfiles/clip.mp4");
        EXPECT_EQ(reply.status, 200);
        EXPECT_EQ(reply.body.size(), 100000u);
        for (std::size_t k = 0; k < idle.size(); k += 2) {
            idle[k]->Send("a");
        }
    }
}

TEST(EngineTimeouts, IdleAndTricklingConnectionsAreClosedButSlowBodiesGoOn) {
    // Slices come 20 times as often as the timeout: only a stall of nearly
    // four seconds on a loaded machine could cut the slow body.
    constexpr unsigned TimeoutSeconds = 4;
    constexpr auto SliceGap = std::chrono::milliseconds(200);
    constexpr std::size_t Slices = 34; // 6.8 s, well past the timeout and a tick
    constexpr std::size_t SliceBytes = 100;
    StartOptions options;
    options.timeoutSeconds = TimeoutSeconds;
    Engine engine(options);
    WriteFile(engine.WebRoot() / "index.html", "hello");

    Connection idle(engine.Port());
    Connection trickling(engine.Port());
    Connection slowBody(engine.Port());
    const std::string content = Pattern(Slices * SliceBytes, 21);
    ASSERT_TRUE(slowBody.Send(
        "POST /api/upload?key=abcdef&id=slow&name=s.bin&size=" + std::to_string(content.size()) +
        "&offset=0 HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
        std::to_string(content.size()) + "\r\n\r\n"));
    ASSERT_TRUE(trickling.Send("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n"));
    // The trickler never finishes its headers, the slow body keeps sending.
    for (std::size_t i = 0; i < Slices; ++i) {
        std::this_thread::sleep_for(SliceGap);
        trickling.Send("X-More: a\r\n");
        slowBody.Send(content.substr(i * SliceBytes, SliceBytes));
    }
    EXPECT_TRUE(idle.ClosedByPeer(3000));
    EXPECT_TRUE(trickling.ClosedByPeer(3000));
    const Reply done = slowBody.Receive();
    EXPECT_EQ(done.status, 201) << done.body;
    EXPECT_EQ(ReadFile(engine.UploadDir() / "s.bin"), content);
    EXPECT_EQ(Request(engine.Port(), "GET", "/").body, "hello");
}
