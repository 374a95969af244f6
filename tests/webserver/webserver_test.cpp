// HTTP server driven with curl (and raw sockets where curl cannot misbehave enough) on an
// ephemeral loopback port.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/log_capture.h"
#include "platform/clock.h"
#include "support/sandbox.h"
#include "support/temp_dir.h"
#include "webserver/rest_api.h"
#include "webserver/webserver.h"

using orvane::test::readFile;
using orvane::test::TempDir;
using orvane::test::writeFile;
using testing::HasSubstr;
using testing::Not;

namespace {

std::string textOf(size_t n) {
    std::string s;
    for (size_t i = 0; s.size() < n; ++i) s += "value " + std::to_string(i) + ", ";
    s.resize(n);
    return s;
}

// REST stand-in: a few answering routes, two that throw; everything else as an unknown route.
class FakeRest : public RestEndpoints {
public:
    void handlePreGet(std::string_view) override { ++preGets; }
    bool handleGet(std::string_view target, const std::string& body, std::string_view token,
                   fss::stringHuge& out) override {
        lastToken = std::string(token);
        if (target == "/rest/small") return answer(out, textOf(1023));
        if (target == "/rest/big") return answer(out, textOf(4000));
        if (target == "/rest/inplace") {  // written by index, then the length set
            leftOver = out[2000];
            out[0] = 'o';
            out[1] = 'k';
            out.setLength(2);
            return true;
        }
        if (target == "/rest/raw") {  // written by index, the length left as found
            out[0] = 'o';
            out[1] = 'k';
            return true;
        }
        if (target == "/rest/zero") return answer(out, std::string("ab\0cd", 5));
        if (target == "/boom") throw std::runtime_error("handler failed");
        if (target == "/boom2") throw 42;
        return real.handleGet(target, body, token, out);
    }
    void handlePut(std::string_view target, const std::string& body, std::string_view token,
                   fss::stringHuge& out) override {
        lastPutBody = body.size();
        if (target == "/boom") throw std::runtime_error("put failed");
        real.handlePut(target, body, token, out);
    }
    void handlePostPut(std::string_view, fss::stringHuge&) override { ++postPuts; }

    static bool answer(fss::stringHuge& out, const std::string& text) {
        out.assignBytes(text.data(), text.size());
        return true;
    }
    UnknownRoutes real;
    int preGets = 0;
    int postPuts = 0;
    size_t lastPutBody = 0;
    std::string lastToken;
    char leftOver = 0;
};

struct Reply {
    int curlStatus = -1;
    int code = 0;
    std::string headers;
    std::string body;
};

class WebServerTest : public testing::Test {
protected:
    void start(std::chrono::milliseconds timeout = std::chrono::seconds(15),
               size_t slots = WebServer::kDefaultMaxConnections) {
        root_ = dir_.path() + "/web/";
        writeFile(root_ + "index.html", "<html>home</html>");
        writeFile(root_ + "app.js", "console.log(1);");
        writeFile(root_ + "css/site.CSS", "body{}");
        writeFile(root_ + "img/logo.PNG", "\x89PNG");
        writeFile(root_ + "data.json", "{}");
        writeFile(root_ + "noext", "plain");
        writeFile(root_ + "big.txt", textOf(200000));
        writeFile(dir_.path() + "/secret.txt", "secret");
        server_ = std::make_unique<WebServer>(0, timeout, &rest_, slots);
        server_->init(root_);
        thread_ = std::thread([this] { server_->startLoop(); });
        ASSERT_TRUE(orvane::test::waitUntil([&] { return server_->listeningPort() != 0; }, std::chrono::seconds(30)));
    }
    void TearDown() override {
        if (server_) server_->stop();
        if (thread_.joinable()) thread_.join();
    }
    std::string url(const std::string& target) const {
        return "http://127.0.0.1:" + std::to_string(server_->listeningPort()) + target;
    }
    Reply curl(const std::string& args) {
        Reply r;
        std::string hdr = dir_.file("h.txt"), body = dir_.file("b.bin"), code = dir_.file("c.txt");
        std::remove(hdr.c_str());
        std::remove(body.c_str());
        std::string cmd = "curl -s --path-as-is --max-time 60 -H 'Expect:' -D '" + hdr + "' -o '" + body +
                          "' -w '%{http_code}' " + args + " > '" + code + "' 2>/dev/null";
        int st = std::system(cmd.c_str());
        r.curlStatus = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        r.code = std::atoi(readFile(code).c_str());
        r.headers = readFile(hdr);
        r.body = readFile(body);
        return r;
    }
    Reply get(const std::string& target, const std::string& extra = "") { return curl(extra + " '" + url(target) + "'"); }

    TempDir dir_{"orvane-web"};
    std::string root_;
    FakeRest rest_;
    std::unique_ptr<WebServer> server_;
    std::thread thread_;
};

std::string gunzip(const std::string& in) {
    z_stream zs{};
    if (inflateInit2(&zs, 31) != Z_OK) return "<init>";
    std::string out(1 << 20, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    zs.avail_in = static_cast<uInt>(in.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    int ret = inflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    inflateEnd(&zs);
    return ret == Z_STREAM_END ? out : "<error>";
}

int connectTo(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

TEST(WebHelpers, MimeTypesGzipDetectionAndCompression) {
    const std::pair<const char*, const char*> table[] = {
        {"a.htm", "text/html"}, {"a.HTML", "text/html"}, {"a.php", "text/html"}, {"a.css", "text/css"},
        {"a.txt", "text/plain"}, {"a.js", "application/javascript"}, {"a.json", "application/json"},
        {"a.xml", "application/xml"}, {"a.swf", "application/x-shockwave-flash"}, {"a.flv", "video/x-flv"},
        {"a.png", "image/png"}, {"a.jpe", "image/jpeg"}, {"a.jpeg", "image/jpeg"}, {"a.JPG", "image/jpeg"},
        {"a.gif", "image/gif"}, {"a.bmp", "image/bmp"}, {"a.ico", "image/vnd.microsoft.icon"},
        {"a.tiff", "image/tiff"}, {"a.tif", "image/tiff"}, {"a.svg", "image/svg+xml"}, {"a.svgz", "image/svg+xml"},
        {"a.woff2", "application/text"}, {"/dir.d/noext", "application/text"}, {"noext", "application/text"},
        {"a.", "application/text"}};
    for (auto [path, type] : table) EXPECT_EQ(mime_type(path), type) << path;

    EXPECT_TRUE(accepts_gzip("GZIP, deflate"));
    EXPECT_TRUE(accepts_gzip("br;q=1, x-gzip"));
    EXPECT_FALSE(accepts_gzip("deflate, br"));
    EXPECT_FALSE(accepts_gzip(""));

    std::string out = "stale";
    EXPECT_TRUE(gzip_compress("", out));
    EXPECT_TRUE(out.empty());
    std::string in = textOf(300000);
    ASSERT_TRUE(gzip_compress(in, out));
    EXPECT_LT(out.size(), in.size() / 3);
    EXPECT_EQ(static_cast<unsigned char>(out[0]), 0x1f);  // gzip wrapper
    EXPECT_EQ(static_cast<unsigned char>(out[1]), 0x8b);
    EXPECT_EQ(gunzip(out), in);
}

TEST_F(WebServerTest, StaticFilesMimeTypesAndTargets) {
    start();
    Reply r = get("/");
    EXPECT_EQ(r.code, 200);
    EXPECT_EQ(r.body, "<html>home</html>");
    EXPECT_THAT(r.headers, HasSubstr("Content-Type: text/html\r\n"));
    EXPECT_THAT(r.headers, HasSubstr("Server: Beast\r\n"));
    EXPECT_THAT(r.headers, HasSubstr("Connection: close\r\n"));
    EXPECT_THAT(r.headers, HasSubstr("Content-Length: 17\r\n"));
    EXPECT_EQ(rest_.preGets, 1);

    r = get("/app.js?version=12");
    EXPECT_EQ(r.body, "console.log(1);");
    EXPECT_THAT(r.headers, HasSubstr("Content-Type: application/javascript\r\n"));
    EXPECT_EQ(get("/app.js?x=1").body, "console.log(1);");  // a query names no part of a file
    EXPECT_EQ(get("/index.html?x=1&y=%20").body, "<html>home</html>");
    EXPECT_EQ(get("/?x=1").body, "<html>home</html>");
    EXPECT_THAT(get("/css/site.CSS").headers, HasSubstr("Content-Type: text/css\r\n"));
    EXPECT_THAT(get("/img/logo.PNG").headers, HasSubstr("Content-Type: image/png\r\n"));
    EXPECT_THAT(get("/data.json").headers, HasSubstr("Content-Type: application/json\r\n"));
    EXPECT_THAT(get("/noext").headers, HasSubstr("Content-Type: application/text\r\n"));

    r = get("/big.txt", "-H 'Accept-Encoding: gzip'");  // files are never compressed
    EXPECT_EQ(r.body, textOf(200000));
    EXPECT_THAT(r.headers, Not(HasSubstr("Content-Encoding")));

    for (const char* bad : {"/../secret.txt", "/css/../../secret.txt", "/..", "/a..b"}) {
        r = get(bad);
        EXPECT_EQ(r.code, 404) << bad;
        EXPECT_EQ(r.body, "File not found locate1\r\n") << bad;
    }
    r = get("/missing.html");
    EXPECT_EQ(r.code, 404);
    EXPECT_EQ(r.body, "File not found locate 2\r\n");
    EXPECT_EQ(get("/css").body, "File not found locate 2\r\n");  // a directory is no file
    EXPECT_EQ(get("/?version=3").body, "<html>home</html>");  // the version query goes first

    // Nothing outside the document root is served, whatever link leads there.
    namespace fs = std::filesystem;
    writeFile(dir_.path() + "/config/parameter.json", "{\"key\":\"secret\"}");
    fs::create_symlink("../config/parameter.json", root_ + "parameter.json");
    fs::create_symlink("../secret.txt", root_ + "leak.js");
    fs::create_symlink(dir_.path() + "/config", root_ + "cfg");  // a folder, by absolute path
    fs::create_symlink("app.js", root_ + "alias.js");             // inside: served
    fs::create_symlink("css", root_ + "style");
    fs::create_symlink("../app.js", root_ + "css/up.js");             // climbs, but stays inside
    fs::create_symlink("../../secret.txt", root_ + "css/out.txt");    // climbs out from a folder
    fs::create_symlink("css/out.txt", root_ + "hop.txt");             // through a link that leads out
    fs::create_symlink(root_ + "app.js", root_ + "abs.js");           // absolute, to a file inside
    fs::create_symlink(root_ + "css", root_ + "absdir");              // absolute, to a folder inside
    const std::string missing = "File not found locate 2\r\n", refused = "File not found locate1\r\n";
    const std::pair<const char*, std::string> table[] = {
        {"/parameter.json", missing}, {"/parameter.json?.js", missing}, {"/leak.js", missing},
        {"/cfg/parameter.json", missing}, {"/%2e%2e/secret.txt", refused}, {"/app.js%", refused},
        {"/app.js%00.png", refused}, {"/alias.js", "console.log(1);"}, {"/style/site.CSS", "body{}"},
        {"/css/up.js", "console.log(1);"}, {"/css/out.txt", missing}, {"/hop.txt", missing},
        {"/abs.js", "console.log(1);"}, {"/absdir/site.CSS", "body{}"},
    };
    for (const auto& [target, body] : table)
        EXPECT_EQ(curl("--request-target '" + std::string(target) + "' " + url("/")).body, body) << target;

    // The web root replaced while the server runs (as an upgrade does): the new pages are served.
    fs::rename(root_, dir_.path() + "/web.old");
    writeFile(root_ + "index.html", "<html>new</html>");
    EXPECT_EQ(get("/").body, "<html>new</html>");
    EXPECT_EQ(get("/app.js").code, 404);
}

TEST_F(WebServerTest, RestAnswersGzipMethodsAndBodyLimit) {
    start();
    Reply r = get("/rest/small", "-H 'Accept-Encoding: gzip' -H 'Authorization: tok123'");
    EXPECT_EQ(r.body, textOf(1023));
    EXPECT_THAT(r.headers, HasSubstr("Content-Type: text/plain\r\n"));
    EXPECT_THAT(r.headers, Not(HasSubstr("Content-Encoding")));
    EXPECT_EQ(rest_.lastToken, "tok123");

    r = get("/rest/big", "-H 'Accept-Encoding: GZIP, deflate'");
    EXPECT_THAT(r.headers, HasSubstr("Content-Encoding: gzip\r\n"));
    EXPECT_THAT(r.headers, HasSubstr("Vary: Accept-Encoding\r\n"));
    EXPECT_THAT(r.headers, HasSubstr("Content-Length: " + std::to_string(r.body.size()) + "\r\n"));
    EXPECT_LT(r.body.size(), 4000u);
    EXPECT_EQ(gunzip(r.body), textOf(4000));
    r = get("/rest/big");
    EXPECT_EQ(r.body, textOf(4000));
    EXPECT_THAT(r.headers, Not(HasSubstr("Content-Encoding")));
    // The answer is the buffer's first length() characters (up to a zero), never leftovers.
    EXPECT_EQ(get("/rest/inplace").body, "ok");
    EXPECT_NE(rest_.leftOver, 0);
    EXPECT_EQ(get("/rest/big").body, textOf(4000));
    EXPECT_EQ(get("/rest/raw").body, "");
    EXPECT_EQ(get("/rest/zero").body, "ab");

    r = curl("-X POST -d x '" + url("/anything") + "'");
    EXPECT_EQ(r.code, 400);
    EXPECT_EQ(r.body, "Invalid request-method 'POST'\r\n");
    r = curl("-X DELETE '" + url("/anything") + "'");
    EXPECT_EQ(r.body, "Invalid request-method 'DELETE'\r\n");

    // PUT: unknown route, a body of exactly 1 MiB, then one byte more and 10 MB (413, no handler).
    r = curl("-X PUT --data-binary '{}' '" + url("/unknown/route") + "'");
    EXPECT_EQ(r.code, 200);
    EXPECT_EQ(r.body, "{\n  \"code\":404,\n  \"msg\":\"Not Found\"}");
    EXPECT_EQ(rest_.postPuts, 1);
    writeFile(dir_.file("mib"), std::string(1048576, 'a'));
    writeFile(dir_.file("mib1"), std::string(1048577, 'a'));
    r = curl("-X PUT --data-binary @'" + dir_.file("mib") + "' '" + url("/unknown/route") + "'");
    EXPECT_EQ(r.code, 200);
    EXPECT_EQ(rest_.lastPutBody, 1048576u);
    writeFile(dir_.file("10mb"), std::string(10 * 1000 * 1000, 'a'));
    for (const char* file : {"mib1", "10mb"}) {
        r = curl("-X PUT --data-binary @'" + dir_.file(file) + "' '" + url("/unknown/route") + "'");
        EXPECT_EQ(r.code, 413) << file;
        EXPECT_EQ(r.body, "Payload Too Large\r\n") << file;
        EXPECT_THAT(r.headers, HasSubstr("Connection: close\r\n")) << file;
    }
    EXPECT_EQ(rest_.postPuts, 2);
    EXPECT_EQ(rest_.lastPutBody, 1048576u);
    EXPECT_EQ(get("/").code, 200);
}

TEST_F(WebServerTest, ThrowingHandlerIsAnsweredAndServingGoesOn) {
    orvane::platform::SimulatedClock clock;
    orvane::platform::Clock::setForTest(&clock);
    orvane::test::LogCapture log({{LogModule::WEB, LogLevel::WARN}, {LogModule::SCADA, LogLevel::WARN}, {LogModule::SENSOR, LogLevel::WARN}});
    start();
    for (const char* t : {"/boom", "/boom2"}) {
        Reply r = get(t);
        EXPECT_EQ(r.code, 500) << t;
        EXPECT_EQ(r.body, "Internal Server Error\r\n");
        EXPECT_EQ(get("/").body, "<html>home</html>");
    }
    Reply r = curl("-X PUT -d x '" + url("/boom") + "'");
    EXPECT_EQ(r.code, 500);
    EXPECT_EQ(server_->stats().handlerErrors.load(), 3);
    EXPECT_EQ(get("/app.js").code, 200);

    // Repeated, it is logged once per interval, the line after the interval with the count.
    for (int i = 0; i < 20; ++i) EXPECT_EQ(get("/boom").body, "Internal Server Error\r\n");
    EXPECT_THAT(log.lines(), testing::ElementsAre("Error: handler failed", "Error: uncatched error"));
    clock.advance(orvane::platform::LogThrottle::kDefaultInterval);
    EXPECT_EQ(get("/boom").code, 500);
    EXPECT_THAT(log.lines(), testing::ElementsAre("Error: handler failed", "Error: uncatched error",
                                                  "Error: handler failed (22 times since the last such line)"));
    server_->stop();
    thread_.join();
    orvane::platform::Clock::setForTest(nullptr);
}

TEST_F(WebServerTest, ManyHeaderFieldsOverflowThePoolIntoTheHeap) {
    start();
    std::string headers;
    for (int i = 0; i < 70; ++i) headers += " -H 'X-Field-" + std::to_string(i) + ": " + std::string(60, 'v') + "'";
    Reply r = get("/rest/big", headers);
    EXPECT_EQ(r.code, 200);
    EXPECT_EQ(r.body, textOf(4000));
    EXPECT_GT(server_->stats().poolHeapFallbacks.load(), 0);
    // The pool is whole again for the next request.
    auto before = server_->stats().poolHeapFallbacks.load();
    EXPECT_EQ(get("/").code, 200);
    EXPECT_EQ(server_->stats().poolHeapFallbacks.load(), before);
}

namespace {

constexpr std::chrono::seconds kWait{10};

bool stillOpen(int fd) {
    char c;
    return ::recv(fd, &c, 1, MSG_DONTWAIT) < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

// Reads from fd (at most `seconds` each time) until the server closes; the bytes read.
std::string readToClose(int fd, int seconds = 10) {
    timeval tv{seconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string reply;
    char buf[4096];
    ssize_t n;
    while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) reply.append(buf, static_cast<size_t>(n));
    return n == 0 ? reply : reply + "<not closed>";
}

}  // namespace

TEST_F(WebServerTest, IdleClientsDoNotHoldUpTheNextRequest) {
    start(std::chrono::seconds(60));
    std::vector<int> idle;
    for (int i = 0; i < 20; ++i) {
        idle.push_back(connectTo(server_->listeningPort()));
        ASSERT_GE(idle.back(), 0);
    }
    // One of them has sent half a request.
    const std::string half = "GET / HTTP/1.1\r\nHost: x\r\n";
    ASSERT_GT(::send(idle[0], half.data(), half.size(), MSG_NOSIGNAL), 0);
    EXPECT_EQ(get("/").body, "<html>home</html>");
    for (int fd : idle) EXPECT_TRUE(stillOpen(fd));
    EXPECT_TRUE(orvane::test::waitUntil([&] { return server_->stats().clientNum.load() == 20; }, kWait));
    // The half-sent request is answered once it is complete.
    ASSERT_GT(::send(idle[0], "\r\n", 2, MSG_NOSIGNAL), 0);
    EXPECT_EQ(readToClose(idle[0]).substr(0, 15), "HTTP/1.1 200 OK");
    for (int fd : idle) ::close(fd);
}

// The deadline runs from each connection's own accept: the first one is cut at its deadline while
// one accepted half a deadline later is still served after that cut (a stalled machine has that
// half as its margin).
TEST_F(WebServerTest, EachConnectionKeepsItsOwnDeadline) {
    constexpr std::chrono::seconds kDeadline{4};
    start(kDeadline);
    int slow = connectTo(server_->listeningPort());
    ASSERT_GE(slow, 0);
    // A peer that resets before it is served must not disturb the server.
    int reset = connectTo(server_->listeningPort());
    ASSERT_GE(reset, 0);
    linger lg{1, 0};
    ::setsockopt(reset, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    ::close(reset);

    EXPECT_EQ(get("/").body, "<html>home</html>");
    std::this_thread::sleep_for(kDeadline / 2);
    const int later = connectTo(server_->listeningPort());
    ASSERT_GE(later, 0);
    EXPECT_EQ(readToClose(slow), "");  // cut by its deadline
    const std::string request = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
    ASSERT_GT(::send(later, request.data(), request.size(), MSG_NOSIGNAL), 0);
    EXPECT_EQ(readToClose(later).substr(0, 15), "HTTP/1.1 200 OK");  // its own deadline is still ahead
    ::close(slow);
    ::close(later);
    EXPECT_TRUE(orvane::test::waitUntil([&] { return server_->stats().clientNum.load() == 0; }, kWait));
}

TEST_F(WebServerTest, FullServerClosesTheOldestIdleConnectionForANewOne) {
    start(std::chrono::seconds(60), 3);
    std::vector<int> idle;
    auto openIdle = [&] {  // one more connection, accepted before the next
        const int64_t before = server_->stats().connectNum.load();
        idle.push_back(connectTo(server_->listeningPort()));
        orvane::test::waitUntil([&] { return server_->stats().connectNum.load() != before; }, kWait);
    };
    for (int i = 0; i < 3; ++i) openIdle();
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(get("/").body, "<html>home</html>");  // takes the slot of the oldest
        EXPECT_EQ(readToClose(idle[round]), "") << round;
        EXPECT_TRUE(stillOpen(idle[round + 1]));
        EXPECT_TRUE(stillOpen(idle[round + 2]));
        if (round == 0) openIdle();  // the slot is taken again
    }
    for (int fd : idle) ::close(fd);
}

TEST_F(WebServerTest, MalformedAndOversizedRequestsAreAnsweredThenClosed) {
    start();
    const std::pair<std::string, std::string> table[] = {
        {"GARBAGE\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n"},
        {"GET / HTTP/1.1\r\nX-Big: " + std::string(9000, 'a'), "HTTP/1.1 431 Request Header Fields Too Large\r\n"},
    };
    for (const auto& [request, status] : table) {
        const int fd = connectTo(server_->listeningPort());
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        const std::string reply = readToClose(fd);  // ends when the server closes
        ::close(fd);
        EXPECT_EQ(reply.substr(0, status.size()), status) << request.substr(0, 40);
        EXPECT_THAT(reply, HasSubstr("Connection: close\r\n"));
    }
    EXPECT_EQ(get("/").code, 200);
    EXPECT_EQ(server_->stats().taskDoneNum.load(), 1);
}

TEST_F(WebServerTest, StopEndsTheLoopWithAClientConnectedAndWhileThePortIsTaken) {
    start();
    int idle = connectTo(server_->listeningPort());
    ASSERT_GE(idle, 0);
    auto t0 = std::chrono::steady_clock::now();
    server_->stop();
    thread_.join();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));  // not the client's deadline
    EXPECT_EQ(server_->listeningPort(), 0);
    ::close(idle);

    // A port that is taken: the loop keeps retrying and still stops at once.
    int holder = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(holder, 1), 0);
    socklen_t len = sizeof a;
    ::getsockname(holder, reinterpret_cast<sockaddr*>(&a), &len);
    WebServer taken(ntohs(a.sin_port));
    taken.init(root_);
    std::thread t([&] { taken.startLoop(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(taken.listeningPort(), 0);
    t0 = std::chrono::steady_clock::now();
    taken.stop();
    t.join();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
    ::close(holder);
}
