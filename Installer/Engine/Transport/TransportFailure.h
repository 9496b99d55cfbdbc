#pragma once

#include <windows.h>

#include <string>

#include "InstallError.h"
#include "WinHttpErrors.h"

// A request to the update server that failed: never answered (no
// connection, name not resolved, refused, timed out, a certificate or a
// proxy in the way) or answered wrongly (an error status, a response that
// is not the part asked for, a body cut short). The WinHTTP error decides
// which, where it is raised; the download names the server before the
// failure leaves it.
class TransportFailure : public InstallError {
public:
    // `text` names the call or the rule that failed ("WinHttpSendRequest
    // failed"); `problem`, when there is one, what was wrong with the answer.
    TransportFailure(std::string text, DWORD error, std::string problem = std::string())
        : InstallError(WinHttpErrors::Unreached(error) ? FailureKind::NoConnection : FailureKind::ServerError,
                       std::move(text), error),
          m_problem(std::move(problem))
    {
        Describe();
    }

    // "host:port" of the server the request went to.
    void AtServer(std::string server)
    {
        MutableFailure().server = std::move(server);
        Describe();
    }

private:
    void Describe()
    {
        InstallFailure& failure = MutableFailure();
        const std::string server =
            failure.server.empty() ? "the update server" : "the update server " + failure.server;
        if (failure.kind == FailureKind::NoConnection) {
            failure.detail = server + " could not be reached: " + WinHttpErrors::Described(LastError());
            return;
        }
        failure.detail = server + " answered wrongly: " + Text();
        if (!m_problem.empty()) {
            failure.detail += " (" + m_problem + ")";
        }
        if (LastError() != kInvalidServerResponse) {
            failure.detail += ", " + WinHttpErrors::Described(LastError());
        }
    }

    // ERROR_WINHTTP_INVALID_SERVER_RESPONSE, whose words the text already says.
    static constexpr DWORD kInvalidServerResponse = 12152;
    std::string m_problem;
};

// A download that was to go through the automatically found proxy only,
// when the look-up found none: nothing was sent.
class NoProxyFound : public TransportFailure {
public:
    explicit NoProxyFound(DWORD lookupError) : TransportFailure("No automatic proxy found", lookupError) {}
};
