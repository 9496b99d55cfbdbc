#include "ProxyRules.h"

namespace ProxyRules {

Plan PlanFor(const UserSettings& given, bool proxyOnly)
{
    // What a failed query left in the fields is not to be trusted.
    const UserSettings settings = given.read ? given : UserSettings{};
    Plan plan;
    plan.proxyOnly = proxyOnly;
    // Automatic detection stands above a named proxy; without settings the
    // system's default applies.
    if (settings.read && !settings.autoDetect) {
        if (settings.proxy != nullptr) {
            plan.access = SessionAccess::NamedProxy;
            plan.proxyName = settings.proxy;
            plan.proxyBypass = settings.proxyBypass;
        } else {
            plan.access = SessionAccess::NoProxy;
        }
    }
    // A configuration script, when the user named one, wins over detection.
    if (settings.autoConfigUrl != nullptr) {
        plan.lookup = Lookup::ByScript;
        plan.scriptUrl = settings.autoConfigUrl;
    } else if (!settings.read || settings.autoDetect) {
        plan.lookup = Lookup::ByDetection;
    }
    return plan;
}

Fallback FallbackFor(const Plan& plan, bool proxyFound)
{
    Fallback fallback;
    if (plan.lookup != Lookup::Off) {
        if (proxyFound) {
            fallback.route = Route::FoundProxy;
            return fallback;
        }
        fallback.reportLookupFailure = true;
    }
    // Most networks have no automatic proxy; a proxy-only download that
    // stopped here would never reach the server at all.
    if (plan.proxyOnly && plan.directAfterAll) {
        fallback.route = Route::Direct;
        fallback.note = "no automatic proxy, going direct";
    }
    return fallback;
}

}  // namespace ProxyRules
