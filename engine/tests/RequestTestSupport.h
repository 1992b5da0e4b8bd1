// Test support for whole requests of the web-mail pages: the CGI environment of a GET request, the services of a
// request over a SessionHarness, and one request run with its response read back.
#pragma once

#include "engine/Request.h"
#include "engine/tests/SessionTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include <fcntl.h>

namespace qm::engine::test {

/// What the engine wrote for one request.
struct RequestResponse {
    std::string Text;

    /// The part after the blank line that ends the head.
    std::string Page() const
    {
        const std::size_t end = Text.find("\r\n\r\n");
        return end == std::string::npos ? std::string() : Text.substr(end + 4);
    }
};

/// The environment block of a GET request for the pages at /mail of localhost:2000, from the address remote.
inline std::string GetRequestEnvironment(const std::string& query, const std::string& cookies,
                                         const std::string& remote = "127.0.0.1")
{
    std::string environment;
    for (const std::string& entry :
         {std::string("REQUEST_METHOD=GET"), "QUERY_STRING=" + query, "HTTP_COOKIE=" + cookies, "REMOTE_ADDR=" + remote,
          std::string("SERVER_NAME=localhost"), std::string("SERVER_PORT=2000"), std::string("SERVER_ADDR=127.0.0.1"),
          std::string("SCRIPT_NAME=/mail")}) {
        environment += entry;
        environment += '\0';
    }
    environment += '\0';
    return environment;
}

/// The environment block of a POST of the form fields `query` (sent in the query string, without a body), with an
/// Origin header when origin is not empty; the block ends with its empty entry.
inline std::string PostRequestEnvironment(const std::string& query, const std::string& cookies,
                                          const std::string& origin, const std::string& remote = "127.0.0.1")
{
    std::string environment = GetRequestEnvironment(query, cookies, remote);
    environment.pop_back(); // the empty entry that ends the block
    const std::string method = "REQUEST_METHOD=GET";
    environment.replace(0, method.size(), "REQUEST_METHOD=POST");
    if (!origin.empty()) {
        environment += "HTTP_ORIGIN=" + origin;
        environment += '\0';
    }
    environment += '\0';
    return environment;
}

/// The services of a request over the harness's sessions and log, on its clock, with the templates given.
inline RequestServices HarnessServices(SessionHarness& harness, TemplateCache* templates)
{
    RequestServices services;
    services.Sessions = &harness.Manager();
    services.Templates = templates;
    services.Log = &harness.LogTarget();
    services.Now = [&harness] {
        return harness.Now();
    };
    return services;
}

/// Runs one request of the environment block with the services given, its response written to the file at outPath
/// (made anew); what the request wrote.
inline RequestResponse RunRequest(const std::string& environment, RequestServices services, const std::string& outPath)
{
    const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    EXPECT_GE(out, 0) << outPath;
    {
        Request request(-1, out, environment.c_str(), std::move(services));
        request.Run();
    }
    return {ReadFile(outPath)};
}

} // namespace qm::engine::test
