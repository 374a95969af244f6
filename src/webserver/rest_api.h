#pragma once
// Entry points of the REST API as the HTTP server calls them. The server thread runs every
// handler; a handler writes its JSON answer into the 1 MiB buffer it is given.
//
// Until the routes are filled in, RestAPI answers every request as an unknown route does: a GET
// returns false (the server then looks for a static file of that name) and a PUT answers code 404
// "Not Found".
#include <string>
#include <string_view>

#include "utils/fss.h"

enum class RESPONSE_CODE : int {
    SUCCESS = 200,
    NOT_FOUND = 404,
    FAILED = 1001,
    INVALID_TOKEN = 1002,
};

// What the HTTP server needs of the REST API. Tests plug in their own.
class RestEndpoints {
public:
    virtual ~RestEndpoints() = default;
    // Before a GET: side effects on the target only (no answer).
    virtual void handlePreGet(std::string_view target) = 0;
    // True when the route answered into `out`; false sends the static file of that name.
    virtual bool handleGet(std::string_view target, const std::string& body, std::string_view token,
                           fss::stringHuge& out) = 0;
    // Always answers into `out` (an empty text is a valid answer).
    virtual void handlePut(std::string_view target, const std::string& body, std::string_view token,
                           fss::stringHuge& out) = 0;
    // After every PUT, whatever handlePut did.
    virtual void handlePostPut(std::string_view target) = 0;
};

class RestAPI : public RestEndpoints {
public:
    void handlePreGet(std::string_view target) override;
    bool handleGet(std::string_view target, const std::string& body, std::string_view token,
                   fss::stringHuge& out) override;
    void handlePut(std::string_view target, const std::string& body, std::string_view token,
                   fss::stringHuge& out) override;
    void handlePostPut(std::string_view target) override;

    // The common answer: {"code":<code>,"msg":"<msg>"} laid out over three lines; an empty
    // message reads "OK" for 200 and "Not Found" for 404.
    static void _response(fss::stringHuge& out, RESPONSE_CODE code, std::string_view msg);
};

// The process-wide REST API object (made on first use).
RestAPI& globalRestAPI();
