#pragma once
// For the web benchmarks: the gateway's web side as the program builds it (RestAPI over real
// stores in a private install root, in front of the WebServer on a loopback port of its own),
// and a client request on a connection of its own.
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include "database/database.h"
#include "env/env_guard.h"
#include "live/live_data.h"
#include "live/var_engine.h"
#include "recipe/recipe_guard.h"
#include "support/scoped_roots.h"
#include "support/temp_dir.h"
#include "webserver/rest_api.h"
#include "webserver/webserver.h"

struct WebGateway {
    orvane::test::TempDir dir;
    orvane::test::ScopedRoots roots{dir.path()};
    std::unique_ptr<RecipeDataGuard> recipe = std::make_unique<RecipeDataGuard>();
    std::unique_ptr<LiveDataGuard> live = std::make_unique<LiveDataGuard>(recipe.get());
    std::unique_ptr<EnvGuard> env;
    std::unique_ptr<VarEngine> vars = std::make_unique<VarEngine>();
    std::unique_ptr<DatabaseProxy> db =
        std::make_unique<DatabaseProxy>(DatabaseOptions{dir.path() + "/runtime/bench.db", ""});
    std::unique_ptr<RestAPI> api;
    std::unique_ptr<WebServer> server;
    std::thread thread;

    // Static files from webRoot (empty: the install root's web folder).
    explicit WebGateway(const char* name, const std::string& webRoot = {}) : dir(name) {
        EnvGuard::Options eo;
        eo.bcryptCost = 4;
        env = std::make_unique<EnvGuard>(*recipe, eo);
        api = std::make_unique<RestAPI>(*recipe, *live, *env, *vars, *db);
        server = std::make_unique<WebServer>(0, std::chrono::seconds(15), api.get());
        server->init(webRoot.empty() ? dir.path() + "/web/" : webRoot);
        thread = std::thread([this] { server->startLoop(); });
        while (server->listeningPort() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~WebGateway() {
        server->stop();
        thread.join();
        server.reset();
        api.reset();
    }
    uint16_t port() const { return server->listeningPort(); }
};

// One request on a connection of its own; the whole reply, read until the server closes.
// Whether the reply is a 200.
inline bool requestOnce(boost::asio::io_context& ioc, const boost::asio::ip::tcp::endpoint& ep,
                        const std::string& request, std::string& reply) {
    boost::asio::ip::tcp::socket sock(ioc);
    sock.connect(ep);
    boost::asio::write(sock, boost::asio::buffer(request));
    boost::system::error_code ec;
    reply.clear();
    boost::asio::read(sock, boost::asio::dynamic_buffer(reply), ec);
    return reply.compare(0, 15, "HTTP/1.1 200 OK") == 0;
}
