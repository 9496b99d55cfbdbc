#include "ProxyRoutes.h"

#include "CancelFlag.h"
#include "RangeLoop.h"

namespace DownloadDetail {

using namespace DownloadConstants;

namespace {

HINTERNET OpenSession(const ProxyRules::Plan& plan)
{
    DWORD access = WINHTTP_ACCESS_TYPE_DEFAULT_PROXY;
    if (plan.access == ProxyRules::SessionAccess::NamedProxy) {
        access = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
    } else if (plan.access == ProxyRules::SessionAccess::NoProxy) {
        access = WINHTTP_ACCESS_TYPE_NO_PROXY;
    }
    return WinHttpOpen(kUserAgent, access, plan.proxyName, plan.proxyBypass, 0);
}

// How a route ended: no request could be set up on it, or one was carried
// out, possibly ended by the cancel flag.
enum class Outcome { NotSetUp, Carried, Cancelled };

Outcome Perform(DownloadRun& run, HINTERNET request)
{
    PerformRequest(run, request);
    return IsCancelled(run.cancel) ? Outcome::Cancelled : Outcome::Carried;
}

// The direct route: the session as the user's settings opened it. `error`
// receives why the request could not be set up.
Outcome TryDirect(DownloadRun& run, AttemptHandles& handles, DWORD& error)
{
    const DownloadOptions& options = run.options;
    handles.connection.reset(WinHttpConnect(
        handles.session.get(),
        options.refuseDirectConnectForTesting ? nullptr : options.server.c_str(), options.port, 0));
    if (handles.connection) {
        handles.request.reset(OpenRequest(handles.connection.get(), *run.target));
    }
    if (!handles.request || !SetTimeouts(handles.request.get(), options)) {
        error = GetLastError();
        return Outcome::NotSetUp;
    }
    return Perform(run, handles.request.get());
}

void LookUpOnce(ProxyLookup& lookup, HINTERNET session)
{
    if (lookup.done) {
        return;
    }
    lookup.done = true;
    LOG(INFO) << "auto detecting proxy...";
    lookup.proxyFound = WinHttpGetProxyForUrl(session, lookup.address.c_str(), &lookup.options,
                                              &lookup.found.info) != FALSE;
    lookup.error = GetLastError();
    LOG(INFO) << "auto detecting proxy result: " << (lookup.proxyFound ? 1 : 0);
}

// The route through the automatically found proxy, set on the session. The
// connection and the request of a direct route that got that far are used.
Outcome TryFoundProxy(DownloadRun& run, AttemptHandles& handles, DWORD& error)
{
    WINHTTP_PROXY_INFO& info = run.lookup.found.info;
    LOG(INFO) << "WinHttpGetProxyForUrl autoProxyInfo.dwAccessType "
              << ErrorNumber(info.dwAccessType);
    LOG(INFO) << "WinHttpGetProxyForUrl autoProxyInfo.lpszProxy " << FieldText(info.lpszProxy);
    LOG(INFO) << "WinHttpGetProxyForUrl autoProxyInfo.lpszProxyBypass "
              << FieldText(info.lpszProxyBypass);
    const DownloadOptions& options = run.options;
    bool ready =
        WinHttpSetOption(handles.session.get(), WINHTTP_OPTION_PROXY, &info, sizeof(info)) != FALSE;
    if (ready && !handles.connection) {
        handles.connection.reset(
            WinHttpConnect(handles.session.get(), options.server.c_str(), options.port, 0));
        ready = handles.connection.valid();
    }
    if (ready && !handles.request) {
        handles.request.reset(OpenRequest(handles.connection.get(), *run.target));
        ready = handles.request.valid();
    }
    if (ready) {
        ready = SetTimeouts(handles.request.get(), options);
    }
    if (!ready) {
        error = GetLastError();
        return Outcome::NotSetUp;
    }
    return Perform(run, handles.request.get());
}

// The route that the plan and the look-up leave once the direct request
// could not be set up, or in place of it.
Outcome TryFallback(DownloadRun& run, AttemptHandles& handles, DWORD& error)
{
    if (run.plan.lookup != ProxyRules::Lookup::Off) {
        LookUpOnce(run.lookup, handles.session.get());
    }
    const ProxyRules::Fallback fallback = ProxyRules::FallbackFor(run.plan, run.lookup.proxyFound);
    if (fallback.reportLookupFailure) {
        // A look-up that failed is not repeated; every attempt that needed
        // it reports why it failed.
        LOG(ERROR) << "WinHttpGetProxyForUrl LastError " << ErrorNumber(run.lookup.error);
        error = run.lookup.error;
    }
    switch (fallback.route) {
    case ProxyRules::Route::FoundProxy:
        return TryFoundProxy(run, handles, error);
    case ProxyRules::Route::Direct:
        if (IsCancelled(run.cancel)) {
            return Outcome::NotSetUp;
        }
        LOG(INFO) << fallback.note;
        return TryDirect(run, handles, error);
    case ProxyRules::Route::None:
        if (run.plan.proxyOnly && !run.plan.directAfterAll) {
            throw NoProxyFound(run.lookup.error);
        }
        break;
    }
    return Outcome::NotSetUp;
}

}  // namespace

// The address the automatic proxy is looked up for. The port appears only
// when it is not the HTTPS default, so that the shipped build asks for
// exactly "https://" + host + path.
std::wstring LookupAddress(const DownloadOptions& options, const DownloadTarget& target)
{
    std::wstring address = L"https://" + options.server;
    if (options.port != INTERNET_DEFAULT_HTTPS_PORT) {
        address += L":" + std::to_wstring(options.port);
    }
    return address + target.urlPath;
}

// Reads the user's proxy settings and logs them field by field. The strings
// stay owned by `settings`.
ProxyRules::UserSettings ReadUserSettings(UserProxySettings& settings)
{
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG& config = settings.config;
    if (!WinHttpGetIEProxyConfigForCurrentUser(&config)) {
        const DWORD error = GetLastError();
        LOG(ERROR) << "WinHttpGetIEProxyConfigForCurrentUser error: " << ErrorNumber(error);
        // What a failed call left in the structure is not ours to free.
        config = WINHTTP_CURRENT_USER_IE_PROXY_CONFIG{};
        return ProxyRules::UserSettings{};
    }
    LOG(INFO) << "WinHttpGetIEProxyConfigForCurrentUser ieProxyConfig.fAutoDetect "
              << static_cast<int>(config.fAutoDetect);
    LOG(INFO) << "WinHttpGetIEProxyConfigForCurrentUser ieProxyConfig.lpszAutoConfigUrl "
              << FieldText(config.lpszAutoConfigUrl);
    LOG(INFO) << "WinHttpGetIEProxyConfigForCurrentUser ieProxyConfig.lpszProxy "
              << FieldText(config.lpszProxy);
    LOG(INFO) << "WinHttpGetIEProxyConfigForCurrentUser ieProxyConfig.lpszProxyBypass "
              << FieldText(config.lpszProxyBypass);
    return ProxyRules::UserSettings{true, config.fAutoDetect != FALSE, config.lpszAutoConfigUrl,
                                    config.lpszProxy, config.lpszProxyBypass};
}

WINHTTP_AUTOPROXY_OPTIONS AutomaticOptions(const ProxyRules::Plan& plan)
{
    WINHTTP_AUTOPROXY_OPTIONS options{};
    if (plan.lookup == ProxyRules::Lookup::Off) {
        return options;
    }
    if (plan.lookup == ProxyRules::Lookup::ByScript) {
        options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = plan.scriptUrl;
    } else {
        options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    options.fAutoLogonIfChallenged = TRUE;
    return options;
}

// One pass of the range loop: a new session, then the routes the plan
// allows until one carries the request. False when the cancel flag ended
// the download.
bool RunAttempt(DownloadRun& run)
{
    AttemptHandles handles(run.calls, OpenSession(run.plan));
    if (!handles.session) {
        RaiseFailure("WinHttpOpen");
    }
    // The error of whatever kept this attempt from setting up a request,
    // taken before anything else can overwrite it.
    DWORD error = GetLastError();
    Outcome outcome = Outcome::NotSetUp;
    if (!run.plan.proxyOnly) {
        outcome = TryDirect(run, handles, error);
        if (outcome == Outcome::NotSetUp) {
            LOG(INFO) << "direct http request failed, checking for proxy...";
        }
    }
    if (outcome == Outcome::NotSetUp) {
        outcome = TryFallback(run, handles, error);
    }
    if (outcome != Outcome::NotSetUp) {
        return outcome == Outcome::Carried;
    }
    handles.request.reset();
    handles.connection.reset();
    handles.session.reset();
    if (IsCancelled(run.cancel)) {
        return false;
    }
    LOG(ERROR) << "Sending WinHttpRequest error: " << ErrorNumber(error);
    throw TransportFailure("Sending WinHttpRequest failed", error);
}

}  // namespace DownloadDetail
