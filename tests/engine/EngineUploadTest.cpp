// Uploads into the real engine: both interfaces, faults and stopping.

#include "EngineHarness.h"
#include "platform/platform.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>

namespace fs = std::filesystem;
using namespace enginetest;

namespace {

const std::string Boundary = "----TessaryTestBoundary7MA4YWxk";

std::string UploadTarget(const std::string& id, const std::string& name, std::size_t size,
                         std::size_t offset, const std::string& key = Engine::Key) {
    return "/api/upload?key=" + key + "&id=" + id + "&name=" + name +
           "&size=" + std::to_string(size) + "&offset=" + std::to_string(offset);
}

Reply PostChunk(const Engine& engine, const std::string& id, const std::string& name,
                const std::string& whole, std::size_t offset, std::size_t length) {
    return Request(engine.Port(), "POST", UploadTarget(id, name, whole.size(), offset),
                   whole.substr(offset, length), {"Content-Type: application/octet-stream"});
}

Reply PostForm(const Engine& engine, const std::string& target, const std::string& body,
               bool json = true) {
    std::vector<std::string> headers = {"Content-Type: multipart/form-data; boundary=" + Boundary};
    if (json) {
        headers.push_back("Accept: application/json");
    }
    return Request(engine.Port(), "POST", target, body, headers);
}

// Sends a request whose body stops after sent bytes, then drops the connection.
void SendCutRequest(const Engine& engine, const std::string& head, const std::string& body,
                    std::size_t sent) {
    Connection connection(engine.Port());
    ASSERT_TRUE(connection.IsOpen());
    ASSERT_TRUE(connection.Send(head + body.substr(0, sent)));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

// Polls until condition holds or about 5 s pass.
std::string CutRequestHead(const std::string& target, std::size_t length, const std::string& type) {
    return "POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n";
}

} // namespace

TEST(EngineUpload, AWrongOrMissingKeyIsRefusedWithAMessage) {
    Engine engine;
    const std::string expired =
        "This page is from an earlier session. Scan the new QR code on the PC.";
    const std::string body = MultipartBody({{"a.txt", "a"}}, Boundary);
    for (const Reply& reply :
         {Request(engine.Port(), "POST", UploadTarget("i1", "a.txt", 1, 0, "wrongk"), "a"),
          Request(engine.Port(), "POST", "/api/upload?id=i1&name=a.txt&size=1&offset=0", "a"),
          Request(engine.Port(), "GET", "/api/upload?key=abcdeF&id=i1"),
          Request(engine.Port(), "DELETE", "/api/upload?id=i1"),
          PostForm(engine, "/api/form?key=qqqqqq", body), PostForm(engine, "/api/form", body),
          PostForm(engine, "/u/zzzzzz.html", body)}) {
        EXPECT_EQ(reply.status, 403);
        EXPECT_NE(reply.body.find("\"error\": \"expired\""), std::string::npos) << reply.body;
        EXPECT_NE(reply.body.find(expired), std::string::npos) << reply.body;
    }
    // A form sent without JavaScript shows the message on a page.
    const Reply page = PostForm(engine, "/u/zzzzzz.html", body, false);
    EXPECT_EQ(page.status, 403);
    EXPECT_EQ(page.headers.at("content-type"), "text/html; charset=utf-8");
    EXPECT_NE(page.body.find("<p>" + expired + "</p>"), std::string::npos);
    EXPECT_TRUE(FileNames(engine.UploadDir()).empty());
}

TEST(EngineUpload, MultipartWithSeveralFiles) {
    Engine engine;
    const std::vector<FilePart> parts = {{"photo.jpg", Pattern(300000, 1)},
                                         {"notes.txt", "some notes\r\n--not a boundary\r\n"},
                                         {"photo.jpg", Pattern(5000, 2)},
                                         {"../../evil.sh", "#!/bin/sh"},
                                         {"empty.bin", ""}};
    const Reply reply = PostForm(engine, "/api/form?key=abcdef", MultipartBody(parts, Boundary));
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_EQ(reply.body,
              "{\"files\": [\"photo.jpg\", \"notes.txt\", \"photo(1).jpg\", \"evil.sh\", "
              "\"empty.bin\"]}");
    const fs::path dir = engine.UploadDir();
    EXPECT_EQ(ReadFile(dir / "photo.jpg"), parts[0].content);
    EXPECT_EQ(ReadFile(dir / "notes.txt"), parts[1].content);
    EXPECT_EQ(ReadFile(dir / "photo(1).jpg"), parts[2].content);
    EXPECT_EQ(ReadFile(dir / "evil.sh"), parts[3].content);
    EXPECT_TRUE(fs::exists(dir / "empty.bin"));
    EXPECT_FALSE(fs::exists(engine.Work() / "evil.sh"));
    EXPECT_TRUE(FileNames(engine.Staging()).empty());

    // The upload page's own address takes a plain form and answers with a page.
    const Reply page =
        PostForm(engine, "/u/abcdef.html", MultipartBody({{"x&y's.txt", "x"}}, Boundary), false);
    EXPECT_EQ(page.status, 200);
    // A name both systems keep, with characters the page must escape.
    EXPECT_NE(page.body.find("x&amp;y"), std::string::npos);
    EXPECT_EQ(page.body.find("x&y"), std::string::npos);
    EXPECT_NE(page.body.find("href=\"/u/abcdef.html\""), std::string::npos);
    EXPECT_EQ(ReadFile(dir / "x&y's.txt"), "x");
}

// A received photo keeps the date the phone sent with it; a date before
// 1990 or more than a day ahead leaves the time it arrived.
TEST(EngineUpload, FilesKeepThePhonesDateWhenPlausible) {
    Engine engine;
    using namespace std::chrono;
    const auto arrived = [&](const std::string& name) {
        return duration_cast<seconds>(
            fs::last_write_time(engine.UploadDir() / name).time_since_epoch());
    };
    const auto nowSeconds = [] {
        return duration_cast<seconds>(fs::file_time_type::clock::now().time_since_epoch());
    };
    const auto fileSeconds = [](std::int64_t unixMs) {
        return duration_cast<seconds>(
            fs::file_time_type::clock::from_sys(system_clock::time_point(milliseconds(unixMs)))
                .time_since_epoch());
    };
    const std::string future = std::to_string(
        duration_cast<milliseconds>(system_clock::now().time_since_epoch() + 48h).count());

    const Reply chunk = Request(
        engine.Port(), "POST", UploadTarget("d1", "IMG_0007.jpg", 5, 0) + "&modified=1500000000123",
        "12345", {"Content-Type: application/octet-stream"});
    ASSERT_EQ(chunk.status, 201) << chunk.body;
    // To the millisecond the phone gave (read through the system's own call:
    // the Windows C library's stat has whole seconds only).
    const auto kept = platform::QueryFile((engine.UploadDir() / "IMG_0007.jpg").string());
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->lastWrite, system_clock::time_point(1500000000123ms));

    const auto before = nowSeconds();
    const Reply form = PostForm(engine, "/api/form?key=abcdef",
                                MultipartBody({{"2010.jpg", "a", "1262304000000"},
                                               {"1989.jpg", "b", "600000000000"},
                                               {"later.jpg", "c", future},
                                               {"undated.jpg", "d"},
                                               {"garbled.jpg", "e", "12x"},
                                               {"2011.jpg", "f", "1293840000000"}},
                                              Boundary));
    ASSERT_EQ(form.status, 200) << form.body;
    EXPECT_EQ(arrived("2010.jpg"), fileSeconds(1262304000000));
    EXPECT_EQ(arrived("2011.jpg"), fileSeconds(1293840000000));
    for (const char* name : {"1989.jpg", "later.jpg", "undated.jpg", "garbled.jpg"}) {
        EXPECT_GE(arrived(name), before - 2s) << name;
        EXPECT_LE(arrived(name), nowSeconds() + 2s) << name;
    }
}

TEST(EngineUpload, BadMultipartLeavesNothing) {
    Engine engine;
    // Not multipart at all.
    EXPECT_EQ(
        Request(engine.Port(), "POST", "/api/form?key=abcdef", "abc", {"Content-Type: text/plain"})
            .status,
        400);
    // A body whose closing boundary never comes.
    std::string body = MultipartBody({{"a.txt", "aaa"}, {"b.txt", "bbb"}}, Boundary);
    body.resize(body.rfind("--" + Boundary + "--"));
    const Reply cut = PostForm(engine, "/api/form?key=abcdef", body);
    EXPECT_EQ(cut.status, 400);
    EXPECT_NE(cut.body.find("incomplete"), std::string::npos);
    // A name that cleans to nothing.
    const Reply dots = PostForm(engine, "/api/form?key=abcdef",
                                MultipartBody({{"ok.txt", "1"}, {"..", "2"}}, Boundary));
    EXPECT_EQ(dots.status, 400);
    EXPECT_TRUE(FileNames(engine.UploadDir()).empty());
    EXPECT_TRUE(FileNames(engine.Staging()).empty());
}

TEST(EngineUpload, DroppedConnectionsLeaveNothingInTheUploadFolder) {
    Engine engine;
    const std::string body = MultipartBody(
        {{"first.jpg", Pattern(200000, 3)}, {"second.jpg", Pattern(200000, 4)}}, Boundary);
    SendCutRequest(engine,
                   CutRequestHead("/api/form?key=abcdef", body.size(),
                                  "multipart/form-data; boundary=" + Boundary),
                   body, body.size() - 100);
    // A short resumable chunk and the upload's first part are not files yet.
    const std::string clip = Pattern(50000, 5);
    SendCutRequest(engine,
                   CutRequestHead(UploadTarget("cut1", "clip.mp4", clip.size(), 0), clip.size(),
                                  "application/octet-stream"),
                   clip, 20000);
    EXPECT_TRUE(Eventually([&] { return FileNames(engine.Staging()).size() == 1; }));
    EXPECT_TRUE(FileNames(engine.UploadDir()).empty());
}

TEST(EngineUpload, ResumableUploadCutOffAndResumedIsByteIdentical) {
    Engine engine;
    const std::string whole = Pattern(3 * 1024 * 1024 + 17, 9);
    const std::string id = "resume_Id-1";

    EXPECT_EQ(Request(engine.Port(), "GET", "/api/upload?key=abcdef&id=" + id).status, 404);
    ASSERT_EQ(PostChunk(engine, id, "holiday%20clip.mp4", whole, 0, 1024 * 1024).body,
              "{\"offset\": 1048576}");

    // The second chunk is cut off by a dropped connection after 700000 bytes.
    const std::size_t announced = 1024 * 1024;
    SendCutRequest(engine,
                   CutRequestHead(UploadTarget(id, "holiday%20clip.mp4", whole.size(), 1048576),
                                  announced, "application/octet-stream"),
                   whole.substr(1048576, announced), 700000);
    std::string status;
    EXPECT_TRUE(Eventually([&] {
        status = Request(engine.Port(), "GET", "/api/upload?key=abcdef&id=" + id).body;
        return status == "{\"offset\": 1748576, \"size\": " + std::to_string(whole.size()) + "}";
    })) << status;
    EXPECT_TRUE(FileNames(engine.UploadDir()).empty());

    // A chunk at the wrong place is told where to go on.
    const Reply wrong = PostChunk(engine, id, "holiday%20clip.mp4", whole, 1048576, 100);
    EXPECT_EQ(wrong.status, 409);
    EXPECT_NE(wrong.body.find("\"offset\": 1748576"), std::string::npos);

    std::size_t offset = 1748576;
    Reply last;
    while (offset < whole.size()) {
        const std::size_t length = std::min<std::size_t>(1000000, whole.size() - offset);
        last = PostChunk(engine, id, "holiday%20clip.mp4", whole, offset, length);
        offset += length;
        if (offset < whole.size()) {
            ASSERT_EQ(last.status, 200) << last.body;
        }
    }
    EXPECT_EQ(last.status, 201);
    EXPECT_EQ(last.body, "{\"offset\": " + std::to_string(whole.size()) +
                             ", \"done\": true, \"name\": \"holiday clip.mp4\"}");
    EXPECT_EQ(ReadFile(engine.UploadDir() / "holiday clip.mp4"), whole);
    EXPECT_TRUE(FileNames(engine.Staging()).empty());
    EXPECT_EQ(Request(engine.Port(), "GET", "/api/upload?key=abcdef&id=" + id).status, 404);
}

TEST(EngineUpload, ResumableRequestsAreChecked) {
    Engine engine;
    const auto post = [&](const std::string& target, const std::string& body) {
        return Request(engine.Port(), "POST", target, body);
    };
    EXPECT_EQ(post("/api/upload?key=abcdef&id=bad/id&name=a&size=1&offset=0", "a").status, 400);
    EXPECT_EQ(
        post("/api/upload?key=abcdef&id=" + std::string(65, 'a') + "&name=a&size=1&offset=0", "a")
            .status,
        400);
    EXPECT_EQ(post("/api/upload?key=abcdef&id=x&size=1&offset=0", "a").status, 400);
    EXPECT_EQ(post("/api/upload?key=abcdef&id=x&name=a&size=-1&offset=0", "a").status, 400);
    EXPECT_EQ(post("/api/upload?key=abcdef&id=x&name=..&size=1&offset=0", "a").status, 400);
    EXPECT_EQ(post(UploadTarget("x", "a.bin", 3, 0), "abcd").status, 413);
    EXPECT_EQ(post(UploadTarget("x", "a.bin", 3, 1), "b").status, 404);

    const Reply empty = post(UploadTarget("e", "empty.txt", 0, 0), "");
    EXPECT_EQ(empty.status, 201);
    EXPECT_TRUE(fs::exists(engine.UploadDir() / "empty.txt"));

    ASSERT_EQ(post(UploadTarget("d", "gone.bin", 10, 0), "12345").status, 200);
    EXPECT_EQ(Request(engine.Port(), "DELETE", "/api/upload?key=abcdef&id=d").status, 204);
    EXPECT_EQ(Request(engine.Port(), "GET", "/api/upload?key=abcdef&id=d").status, 404);
    EXPECT_TRUE(FileNames(engine.Staging()).empty());
}

TEST(EngineUpload, TwoPhonesSendingTheSameNameGiveTwoFiles) {
    Engine engine;
    const std::string a = Pattern(2000000, 11);
    const std::string b = Pattern(2000000, 12);
    Reply replyA;
    Reply replyB;
    std::thread first(
        [&] { replyA = PostChunk(engine, "phoneA", "IMG_0001.jpg", a, 0, a.size()); });
    std::thread second([&] {
        replyB = PostForm(engine, "/api/form?key=abcdef",
                          MultipartBody({{"IMG_0001.jpg", b}}, Boundary));
    });
    first.join();
    second.join();
    EXPECT_EQ(replyA.status, 201);
    EXPECT_EQ(replyB.status, 200);
    EXPECT_EQ(FileNames(engine.UploadDir()),
              (std::vector<std::string>{"IMG_0001(1).jpg", "IMG_0001.jpg"}));
    std::set<std::string> contents = {ReadFile(engine.UploadDir() / "IMG_0001.jpg"),
                                      ReadFile(engine.UploadDir() / "IMG_0001(1).jpg")};
    EXPECT_EQ(contents, (std::set<std::string>{a, b}));
}

TEST(EngineUpload, AFileIsLockedUntilItIsComplete) {
    Engine engine;
    const std::string content = Pattern(4 * 1024 * 1024, 13);
    // Half of the body, then a pause while the file is being written.
    Connection connection(engine.Port());
    ASSERT_TRUE(connection.Send(CutRequestHead(UploadTarget("lock1", "big.mov", content.size(), 0),
                                               content.size(), "application/octet-stream") +
                                content.substr(0, content.size() / 2)));
    ASSERT_TRUE(Eventually([&] { return FileNames(engine.Staging()).size() == 1; }));
    const std::string staged = (engine.Staging() / FileNames(engine.Staging())[0]).string();
    EXPECT_FALSE(platform::TryOpenExclusive(staged));
    EXPECT_TRUE(FileNames(engine.UploadDir()).empty());

    // A watcher looking all the time never finds a free file that is not whole.
    std::atomic<bool> stop = false;
    std::atomic<int> partialSeen = 0;
    std::thread watcher([&] {
        while (!stop) {
            for (const auto& name : FileNames(engine.UploadDir())) {
                const auto path = (engine.UploadDir() / name).string();
                if (platform::TryOpenExclusive(path) && fs::file_size(path) != content.size()) {
                    ++partialSeen;
                }
            }
        }
    });
    ASSERT_TRUE(connection.Send(content.substr(content.size() / 2)));
    const Reply reply = connection.Receive();
    stop = true;
    watcher.join();
    EXPECT_EQ(reply.status, 201);
    EXPECT_EQ(partialSeen, 0);
    EXPECT_TRUE(platform::TryOpenExclusive((engine.UploadDir() / "big.mov").string()));
    EXPECT_EQ(ReadFile(engine.UploadDir() / "big.mov"), content);
}

TEST(EngineUpload, NoRoomForTheAnnouncedSize) {
    Engine engine;
    const std::string huge = std::to_string(1LL << 55);
    const Reply resumable =
        Request(engine.Port(), "POST",
                "/api/upload?key=abcdef&id=h&name=huge.bin&size=" + huge + "&offset=0", "abc");
    EXPECT_EQ(resumable.status, 507);
    EXPECT_NE(
        resumable.body.find("The PC's disk is full. Free some space on the PC and try again."),
        std::string::npos);
    // A form announces its size through Content-Length.
    Connection connection(engine.Port());
    connection.Send(
        "POST /api/form?key=abcdef HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: application/json\r\n"
        "Content-Type: multipart/form-data; boundary=" +
        Boundary + "\r\nContent-Length: " + huge + "\r\n\r\n");
    EXPECT_EQ(connection.Receive().status, 507);
    EXPECT_TRUE(FileNames(engine.Staging()).empty());
}

TEST(EngineUpload, TheDiskFillingUpMidwayGives507AndRemovesStagedBytes) {
    // The file-size limit stands in for a full disk: writes past it fail.
    StartOptions options;
    options.fileSizeLimit = 1024 * 1024;
    Engine engine(options);
    const std::string big = Pattern(3 * 1024 * 1024, 14);
    const Reply resumable = PostChunk(engine, "full1", "big.bin", big, 0, big.size());
    EXPECT_EQ(resumable.status, 507);
    EXPECT_NE(resumable.body.find("disk-full"), std::string::npos);
    EXPECT_EQ(Request(engine.Port(), "GET", "/api/upload?key=abcdef&id=full1").status, 404);

    const Reply form = PostForm(engine, "/api/form?key=abcdef",
                                MultipartBody({{"small.txt", "fits"}, {"big.bin", big}}, Boundary));
    EXPECT_EQ(form.status, 507);
    EXPECT_TRUE(FileNames(engine.Staging()).empty());
    EXPECT_TRUE(FileNames(engine.UploadDir()).empty());
    // Still serving and receiving afterwards.
    EXPECT_EQ(PostChunk(engine, "ok", "ok.txt", "fine", 0, 4).status, 201);
}

TEST(EngineUpload, SigtermWithAnUploadInFlightStopsQuicklyAndLeavesNothing) {
    Engine engine;
    WriteFile(engine.WebRoot() / "index.html", "x");
    const std::string content = Pattern(2 * 1024 * 1024, 15);
    Connection resumable(engine.Port());
    ASSERT_TRUE(resumable.Send(CutRequestHead(UploadTarget("t1", "a.bin", content.size(), 0),
                                              content.size(), "application/octet-stream") +
                               content.substr(0, 500000)));
    const std::string body = MultipartBody({{"b.bin", content}}, Boundary);
    Connection form(engine.Port());
    ASSERT_TRUE(form.Send(CutRequestHead("/api/form?key=abcdef", body.size(),
                                         "multipart/form-data; boundary=" + Boundary) +
                          body.substr(0, 600000)));
    ASSERT_TRUE(Eventually([&] { return FileNames(engine.Staging()).size() == 2; }));

    int elapsed = 0;
    const auto status = engine.Terminate(5000, &elapsed);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, 0);
    EXPECT_LT(elapsed, 2000);
    EXPECT_TRUE(FileNames(engine.Staging()).empty());
    EXPECT_TRUE(FileNames(engine.UploadDir()).empty());
}

TEST(EngineUpload, ACommandLineErrorOrABusyPortIsReported) {
    Engine holder;
    TempFolder work;
    // The holder is another program file's engine, so it is not taken over.
    const EngineCopy copy;
    fs::create_directories(work.Path() / "wdoc");
    const ProgramRun busy = RunEngineOnce(
        work.Path(),
        {"abcdef", "./wdoc", "--bind", "127.0.0.1", "--port", std::to_string(holder.Port())},
        std::nullopt, copy.Path().string());
    EXPECT_NE(busy.status, 0);
    EXPECT_NE(busy.errors.find("cannot listen on port"), std::string::npos) << busy.errors;
    EXPECT_TRUE(holder.Running());

    const ProgramRun usage = RunEngineOnce(work.Path(), {"onlykey"});
    EXPECT_NE(usage.status, 0);
    EXPECT_NE(usage.errors.find("usage:"), std::string::npos) << usage.errors;
}
