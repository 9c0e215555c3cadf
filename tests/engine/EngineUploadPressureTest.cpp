// Uploads into the real engine under pressure: names it serves, a disk that
// cannot hold every announced file, a client taking every upload place, and
// names and bodies made to slip through.

#include "EngineHarness.h"

#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <thread>

namespace fs = std::filesystem;
using namespace enginetest;

namespace {

const std::string Boundary = "----PressureBoundary5Hq2";
constexpr std::size_t MiB = 1024 * 1024;

std::string ChunkTarget(const std::string& id, const std::string& name, std::size_t size,
                        std::size_t offset) {
    return "/api/upload?key=abcdef&id=" + id + "&name=" + name + "&size=" + std::to_string(size) +
           "&offset=" + std::to_string(offset);
}

std::string RequestHead(const std::string& target, std::size_t length, const std::string& type,
                        const std::string& extra = {}) {
    return "POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(length) + "\r\n" + extra + "\r\n";
}

Reply PostForm(const Engine& engine, const std::string& body) {
    return Request(
        engine.Port(), "POST", "/api/form?key=abcdef", body,
        {"Content-Type: multipart/form-data; boundary=" + Boundary, "Accept: application/json"});
}

// One request from another loopback address, the whole reply.
Reply RequestFrom(const std::string& source, std::uint16_t port, const std::string& bytes) {
    Connection connection(port, source);
    if (!connection.IsOpen() || !connection.Send(bytes)) {
        return {};
    }
    return connection.Receive();
}

// One chunk of a resumable upload from source, on a connection of its own.
Reply ChunkFrom(const std::string& source, const Engine& engine, const std::string& id,
                std::size_t size, std::size_t offset, const std::string& body) {
    return RequestFrom(source, engine.Port(),
                       RequestHead(ChunkTarget(id, id + ".bin", size, offset), body.size(),
                                   "application/octet-stream", "Connection: close\r\n") +
                           body);
}

std::size_t FreeBytes(const Engine& engine) {
    return static_cast<std::size_t>(fs::space(engine.Staging()).available);
}

std::string EmptyFirstChunk(const std::string& id) {
    return "POST " + ChunkTarget(id, "a.bin", 10, 0) +
           " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}

} // namespace

TEST(EnginePressure, AnUploadNeverBecomesTheUploadFolderPage) {
    Engine engine;
    // The program's neutral page is missing (its copy failed).
    ASSERT_FALSE(fs::exists(engine.UploadDir() / "index.html"));
    const std::string page = "<script>steal()</script>";
    const Reply resumable =
        Request(engine.Port(), "POST", ChunkTarget("p1", "index.html", page.size(), 0), page);
    EXPECT_EQ(resumable.status, 201);
    EXPECT_NE(resumable.body.find("\"name\": \"index(1).html\""), std::string::npos)
        << resumable.body;
    const Reply form = PostForm(engine, MultipartBody({{"index.html", page}}, Boundary));
    EXPECT_EQ(form.body, "{\"files\": [\"index(2).html\"]}");
    // Blanks around the name make no other page of it.
    const Reply padded = PostForm(engine, MultipartBody({{" index.html ", page}}, Boundary));
    EXPECT_EQ(padded.body, "{\"files\": [\"index(3).html\"]}");

    EXPECT_FALSE(fs::exists(engine.UploadDir() / "index.html"));
    EXPECT_EQ(ReadFile(engine.UploadDir() / "index(1).html"), page);
    for (const std::string target : {"/u/ufiles/", "/u/ufiles/index.html",
                                     "/u/ufiles/index(1).html", "/u/ufiles/index%281%29.html"}) {
        const Reply reply = Request(engine.Port(), "GET", target);
        EXPECT_EQ(reply.status, 404) << target;
        EXPECT_EQ(reply.body.find("steal"), std::string::npos) << target;
    }

    // With the program's page in place it is that page which is served.
    WriteFile(engine.UploadDir() / "index.html", "<p>neutral</p>");
    EXPECT_EQ(PostForm(engine, MultipartBody({{"index.html", page}}, Boundary)).body,
              "{\"files\": [\"index(4).html\"]}");
    EXPECT_EQ(Request(engine.Port(), "GET", "/u/ufiles/").body, "<p>neutral</p>");
}

TEST(EnginePressure, AnAcceptedUploadKeepsTheRoomItAnnounced) {
    const std::string why = EnterPrivateMountNamespace();
    if (!why.empty()) {
        GTEST_SKIP() << "needs a small disk of its own: " << why;
    }
    StartOptions options;
    options.diskBytes = 32 * MiB;
    Engine engine(options);
    const std::string first = Pattern(20 * MiB, 31);

    // The first upload is accepted and has sent a little.
    Connection sending(engine.Port());
    ASSERT_TRUE(sending.Send(RequestHead(ChunkTarget("first", "first.mov", first.size(), 0),
                                         first.size(), "application/octet-stream") +
                             first.substr(0, MiB)));
    ASSERT_TRUE(Eventually([&] { return FileNames(engine.Staging()).size() == 1; }));

    // Another one of the same size would fit on the disk today but not beside
    // the first: it is refused before any of its bytes are read.
    Connection second(engine.Port());
    ASSERT_TRUE(second.Send(RequestHead(ChunkTarget("second", "second.mov", first.size(), 0),
                                        first.size(), "application/octet-stream")));
    const Reply refused = second.Receive(false, 5000);
    EXPECT_EQ(refused.status, 507);
    EXPECT_NE(refused.body.find("disk-full"), std::string::npos);
    Connection form(engine.Port());
    ASSERT_TRUE(form.Send(RequestHead("/api/form?key=abcdef", first.size(),
                                      "multipart/form-data; boundary=" + Boundary,
                                      "Accept: application/json\r\n")));
    EXPECT_EQ(form.Receive(false, 5000).status, 507);
    // What still fits beside it goes through.
    const std::string small = Pattern(4 * MiB, 32);
    EXPECT_EQ(PostForm(engine, MultipartBody({{"small.jpg", small}}, Boundary)).status, 200);

    // The first one completes.
    ASSERT_TRUE(sending.Send(first.substr(MiB)));
    const Reply done = sending.Receive(false, 20000);
    EXPECT_EQ(done.status, 201) << done.body;
    EXPECT_EQ(ReadFile(engine.UploadDir() / "first.mov"), first);
    EXPECT_EQ(ReadFile(engine.UploadDir() / "small.jpg"), small);
    EXPECT_TRUE(FileNames(engine.Staging()).empty());
}

TEST(EnginePressure, OneAddressCannotTakeEveryUploadPlace) {
    Engine engine;
    // Empty first chunks from one client hold places without sending a byte.
    int accepted = 0;
    Reply refused;
    for (int i = 0; i < 300; ++i) {
        const Reply reply =
            RequestFrom("127.0.0.2", engine.Port(), EmptyFirstChunk("hog" + std::to_string(i)));
        if (reply.status != 200) {
            refused = reply;
            break;
        }
        ++accepted;
    }
    EXPECT_EQ(accepted, 32);
    EXPECT_EQ(refused.status, 503);
    EXPECT_NE(refused.body.find("\"error\": \"busy\""), std::string::npos) << refused.body;

    // Everyone else still sends files.
    const Reply phone =
        Request(engine.Port(), "POST", ChunkTarget("phone", "photo.jpg", 5, 0), "photo");
    EXPECT_EQ(phone.status, 201) << phone.body;
    EXPECT_EQ(ReadFile(engine.UploadDir() / "photo.jpg"), "photo");
    // Once the client lets one place go it may take one again.
    Connection cancel(engine.Port(), "127.0.0.2");
    ASSERT_TRUE(
        cancel.Send("DELETE /api/upload?key=abcdef&id=hog0 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    EXPECT_EQ(cancel.Receive().status, 204);
    EXPECT_EQ(RequestFrom("127.0.0.2", engine.Port(), EmptyFirstChunk("again")).status, 200);
}

TEST(EnginePressure, ControlCharactersInNamesAreCleanedTheSameWayInBothInterfaces) {
    Engine engine;
    const Reply nulForm =
        PostForm(engine, MultipartBody({{std::string("con\0trol.txt", 12), "form nul"}}, Boundary));
    EXPECT_EQ(nulForm.body, "{\"files\": [\"control.txt\"]}");
    const Reply nulChunk =
        Request(engine.Port(), "POST", ChunkTarget("c1", "con%00trol.txt", 9, 0), "chunk nul");
    EXPECT_NE(nulChunk.body.find("\"name\": \"control(1).txt\""), std::string::npos)
        << nulChunk.body;
    const Reply otherForm =
        PostForm(engine, MultipartBody({{"con\x01tr\x1fol.txt", "form ctl"}}, Boundary));
    EXPECT_EQ(otherForm.body, "{\"files\": [\"control(2).txt\"]}");
    const Reply otherChunk =
        Request(engine.Port(), "POST", ChunkTarget("c2", "con%01tr%1Fol.txt", 9, 0), "chunk ctl");
    EXPECT_NE(otherChunk.body.find("\"name\": \"control(3).txt\""), std::string::npos)
        << otherChunk.body;

    EXPECT_EQ(ReadFile(engine.UploadDir() / "control.txt"), "form nul");
    EXPECT_EQ(ReadFile(engine.UploadDir() / "control(1).txt"), "chunk nul");
    EXPECT_EQ(ReadFile(engine.UploadDir() / "control(2).txt"), "form ctl");
    EXPECT_EQ(ReadFile(engine.UploadDir() / "control(3).txt"), "chunk ctl");
    // A NUL among the bytes of a file is content, and stays.
    const std::string binary("a\0b\r\n\0\0c", 8);
    EXPECT_EQ(PostForm(engine, MultipartBody({{"bin.dat", binary}}, Boundary)).status, 200);
    EXPECT_EQ(ReadFile(engine.UploadDir() / "bin.dat"), binary);
}

TEST(EnginePressure, AMultipartBodyCutShortIsRefusedWhereverItEnds) {
    Engine engine;
    const std::string body = MultipartBody({{"a.txt", "hello"}}, Boundary);
    // Up to the last byte of the closing delimiter; the line end after it
    // may be left out.
    const std::size_t closed = body.size() - 2;
    for (std::size_t cut = 1; cut < closed; ++cut) {
        const Reply reply = PostForm(engine, body.substr(0, cut));
        ASSERT_EQ(reply.status, 400) << "cut after " << cut << " bytes: " << reply.body;
        EXPECT_NE(reply.body.find("incomplete"), std::string::npos) << reply.body;
    }
    EXPECT_TRUE(FileNames(engine.UploadDir()).empty());
    EXPECT_TRUE(FileNames(engine.Staging()).empty());
    EXPECT_EQ(PostForm(engine, body.substr(0, closed)).body, "{\"files\": [\"a.txt\"]}");
    // A form with no file part at all is whole, and says nothing arrived.
    EXPECT_EQ(PostForm(engine, "--" + Boundary + "--\r\n").body, "{\"files\": []}");
    // A body that is not a form is refused before it is read.
    EXPECT_EQ(Request(engine.Port(), "POST", "/api/form?key=abcdef", "a=b",
                      {"Content-Type: application/x-www-form-urlencoded"})
                  .status,
              400);
}

TEST(EnginePressure, OneAddressCannotHoldTheDiskAgainstAnother) {
    const std::string why = EnterPrivateMountNamespace();
    if (!why.empty()) {
        GTEST_SKIP() << "needs a disk of its own: " << why;
    }
    constexpr std::size_t GiB = 1024 * MiB;
    StartOptions options;
    options.diskBytes = 16 * GiB; // a tmpfs: only what is written takes memory
    Engine engine(options);
    // A key holder announces all but 2 GiB of the free space and sends a byte.
    const Reply hog = ChunkFrom("127.0.0.2", engine, "hog", FreeBytes(engine) - 2 * GiB, 0, "x");
    ASSERT_EQ(hog.status, 200) << hog.body;
    // Its own next upload does not fit beside it...
    EXPECT_EQ(ChunkFrom("127.0.0.2", engine, "more", 4 * GiB, 0, "x").status, 507);
    // ...but a phone at another address still sends its 4 GiB video.
    const Reply phone = ChunkFrom("127.0.0.3", engine, "video", 4 * GiB, 0, "hello");
    EXPECT_EQ(phone.status, 200) << phone.body;
    EXPECT_NE(phone.body.find("\"offset\": 5"), std::string::npos) << phone.body;
}

TEST(EnginePressure, AnUploadThatStopsGivesItsRoomBackAndAResumeReservesAgain) {
    const std::string why = EnterPrivateMountNamespace();
    if (!why.empty()) {
        GTEST_SKIP() << "needs a small disk of its own: " << why;
    }
    StartOptions options;
    options.diskBytes = 64 * MiB;
    options.timeoutSeconds = 2; // how long an upload may send nothing and keep its room
    Engine engine(options);
    const std::string client = "127.0.0.2";
    const std::size_t bigSize = FreeBytes(engine) - 8 * MiB;
    ASSERT_EQ(ChunkFrom(client, engine, "big", bigSize, 0, "1").status, 200);
    // Right after its chunk the big upload still holds its room...
    EXPECT_EQ(ChunkFrom(client, engine, "other", 16 * MiB, 0, "x").status, 507);
    // ...and gives it back once it sends nothing more.
    ASSERT_TRUE(Eventually(
        [&] { return ChunkFrom(client, engine, "other", 16 * MiB, 0, "x").status == 200; },
        std::chrono::seconds(10)));
    // Resuming needs the room again: refused while the other holds it, the
    // staged byte kept, then taken up where it stopped.
    const Reply refused = ChunkFrom(client, engine, "big", bigSize, 1, "2");
    EXPECT_EQ(refused.status, 507) << refused.body;
    EXPECT_NE(refused.body.find("\"offset\": 1"), std::string::npos) << refused.body;
    ASSERT_TRUE(
        Eventually([&] { return ChunkFrom(client, engine, "big", bigSize, 1, "2").status == 200; },
                   std::chrono::seconds(10)));
    EXPECT_NE(
        Request(engine.Port(), "GET", "/api/upload?key=abcdef&id=big").body.find("\"offset\": 2,"),
        std::string::npos);
}

TEST(EnginePressure, ManyAddressesTogetherCannotTakeEveryUploadPlace) {
    Engine engine;
    // Eight addresses hold 32 one-byte uploads each: every place.
    for (int address = 2; address < 10; ++address) {
        const std::string source = "127.0.0." + std::to_string(address);
        for (int i = 0; i < 32; ++i) {
            const std::string id = "h" + std::to_string(address) + "x" + std::to_string(i);
            ASSERT_EQ(ChunkFrom(source, engine, id, 10, 0, "x").status, 200) << id;
        }
    }
    ASSERT_EQ(FileNames(engine.Staging()).size(), 256U);
    // The phone's upload takes the place of one of them.
    const Reply phone =
        Request(engine.Port(), "POST", ChunkTarget("phone", "photo.jpg", 5, 0), "photo");
    EXPECT_EQ(phone.status, 201) << phone.body;
    EXPECT_EQ(ReadFile(engine.UploadDir() / "photo.jpg"), "photo");
    // The upload it replaced is gone with its staged byte.
    EXPECT_EQ(FileNames(engine.Staging()).size(), 255U);
}
