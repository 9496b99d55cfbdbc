// The proxy decision on its own: which session, which look-up and which
// route the user's settings and the look-up's outcome lead to.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ProxyRules.h"

using namespace ProxyRules;

namespace {

// A borrowed string as text; a missing one reads "-".
std::wstring Text(const wchar_t* value) { return value == nullptr ? L"-" : value; }

TEST(DownloadProxyRules, SettingsGiveTheSessionAndTheLookUp)
{
    const wchar_t* proxy = L"10.0.0.1:3128";
    const wchar_t* bypass = L"<local>";
    const wchar_t* script = L"http://wpad.example/proxy.pac";
    struct Case {
        const char* name;
        UserSettings settings;
        SessionAccess access;
        const wchar_t* proxyName;
        const wchar_t* proxyBypass;
        Lookup lookup;
        const wchar_t* scriptUrl;
    };
    const std::vector<Case> cases = {
        {"unreadable", {}, SessionAccess::DefaultProxy, nullptr, nullptr, Lookup::ByDetection, nullptr},
        {"unreadable, fields left behind", {false, false, script, proxy, bypass},
         SessionAccess::DefaultProxy, nullptr, nullptr, Lookup::ByDetection, nullptr},
        {"direct", {true}, SessionAccess::NoProxy, nullptr, nullptr, Lookup::Off, nullptr},
        {"named proxy", {true, false, nullptr, proxy, bypass}, SessionAccess::NamedProxy, proxy,
         bypass, Lookup::Off, nullptr},
        {"named proxy, no bypass", {true, false, nullptr, proxy, nullptr},
         SessionAccess::NamedProxy, proxy, nullptr, Lookup::Off, nullptr},
        {"detection over a named proxy", {true, true, nullptr, proxy, bypass},
         SessionAccess::DefaultProxy, nullptr, nullptr, Lookup::ByDetection, nullptr},
        {"script", {true, false, script}, SessionAccess::NoProxy, nullptr, nullptr,
         Lookup::ByScript, script},
        {"script over detection", {true, true, script}, SessionAccess::DefaultProxy, nullptr,
         nullptr, Lookup::ByScript, script},
        {"script and named proxy", {true, false, script, proxy, bypass},
         SessionAccess::NamedProxy, proxy, bypass, Lookup::ByScript, script},
    };
    for (const Case& c : cases) {
        for (const bool proxyOnly : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (proxyOnly ? ", proxy only" : ""));
            const Plan plan = PlanFor(c.settings, proxyOnly);
            EXPECT_EQ(plan.access, c.access);
            EXPECT_EQ(Text(plan.proxyName), Text(c.proxyName));
            EXPECT_EQ(Text(plan.proxyBypass), Text(c.proxyBypass));
            EXPECT_EQ(plan.lookup, c.lookup);
            EXPECT_EQ(Text(plan.scriptUrl), Text(c.scriptUrl));
            EXPECT_EQ(plan.proxyOnly, proxyOnly);
        }
    }
}

TEST(DownloadProxyRules, FallbackFollowsTheLookUp)
{
    struct Case {
        Lookup lookup;
        bool proxyOnly;
        bool proxyFound;
        Route route;
        bool reportLookupFailure;
        bool notesGoingDirect;
    };
    const std::vector<Case> cases = {
        {Lookup::Off, false, false, Route::None, false, false},
        {Lookup::Off, true, false, Route::Direct, false, true},
        // Nothing was looked up, so nothing found can count.
        {Lookup::Off, false, true, Route::None, false, false},
        {Lookup::Off, true, true, Route::Direct, false, true},
        {Lookup::ByScript, false, true, Route::FoundProxy, false, false},
        {Lookup::ByDetection, true, true, Route::FoundProxy, false, false},
        {Lookup::ByScript, false, false, Route::None, true, false},
        {Lookup::ByDetection, true, false, Route::Direct, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "lookup " << static_cast<int>(c.lookup) << ", proxy only "
                                        << c.proxyOnly << ", found " << c.proxyFound);
        Plan plan;
        plan.lookup = c.lookup;
        plan.proxyOnly = c.proxyOnly;
        const Fallback fallback = FallbackFor(plan, c.proxyFound);
        EXPECT_EQ(fallback.route, c.route);
        EXPECT_EQ(fallback.reportLookupFailure, c.reportLookupFailure);
        EXPECT_EQ(std::string(fallback.note != nullptr ? fallback.note : ""),
                  c.notesGoingDirect ? "no automatic proxy, going direct" : "");
    }
    // A fetch that only a proxy in the way could make come out differently
    // goes through the one found, or nowhere.
    Plan onlyFound;
    onlyFound.lookup = Lookup::ByDetection;
    onlyFound.proxyOnly = true;
    onlyFound.directAfterAll = false;
    EXPECT_EQ(Route::None, FallbackFor(onlyFound, false).route);
    EXPECT_EQ(Route::FoundProxy, FallbackFor(onlyFound, true).route);
}

}  // namespace
