#pragma once

// How the download reaches the update server, decided on the user's proxy
// settings and the outcome of the automatic proxy look-up alone, so that
// every rule can be checked without WinHTTP. No platform header: the strings
// are borrowed from the caller, who keeps them alive while the plan is used.

namespace ProxyRules {

// The user's proxy settings as the system hands them over; a null string is
// a field that is not set.
struct UserSettings {
    bool read = false;  // false: the query failed, and no field counts
    bool autoDetect = false;
    const wchar_t* autoConfigUrl = nullptr;
    const wchar_t* proxy = nullptr;
    const wchar_t* proxyBypass = nullptr;
};

// How each session is opened: the system's default, the user's named proxy,
// or no proxy at all.
enum class SessionAccess { DefaultProxy, NamedProxy, NoProxy };

// How the automatic proxy is looked up, if at all.
enum class Lookup { Off, ByScript, ByDetection };

// What one download does with the settings; fixed for the whole call.
struct Plan {
    SessionAccess access = SessionAccess::DefaultProxy;
    const wchar_t* proxyName = nullptr;  // with NamedProxy
    const wchar_t* proxyBypass = nullptr;
    Lookup lookup = Lookup::Off;
    const wchar_t* scriptUrl = nullptr;  // with ByScript
    // A later download of the run: no direct attempt first, the automatic
    // proxy only, and direct after all when there is none.
    bool proxyOnly = false;
    // With proxyOnly and no proxy found: direct after all, or nowhere.
    bool directAfterAll = true;
};
Plan PlanFor(const UserSettings& settings, bool proxyOnly);

// Where an attempt goes once the direct request could not be set up, or was
// not tried because the plan is proxy-only.
enum class Route { FoundProxy, Direct, None };
struct Fallback {
    Route route = Route::None;
    // The failed look-up's error line comes first.
    bool reportLookupFailure = false;
    // The info line written when the route is taken; null for none.
    const char* note = nullptr;
};
// `proxyFound`: what the look-up found; not consulted when the plan has none.
Fallback FallbackFor(const Plan& plan, bool proxyFound);

}  // namespace ProxyRules
