#include "Transport.h"

#include <optional>

#include "DownloadRun.h"
#include "ProxyRoutes.h"

struct Transport::State {
    DownloadDetail::UserProxySettings raw;
    std::optional<ProxyRules::UserSettings> settings;
    DownloadDetail::ProxyLookup lookup;
};

Transport::Transport() : m_state(std::make_unique<State>()) {}

Transport::~Transport() = default;

const ProxyRules::UserSettings& Transport::Settings()
{
    if (!m_state->settings) {
        m_state->settings = DownloadDetail::ReadUserSettings(m_state->raw);
    }
    return *m_state->settings;
}

DownloadDetail::ProxyLookup& Transport::Lookup(const std::wstring& address, const ProxyRules::Plan& plan)
{
    DownloadDetail::ProxyLookup& lookup = m_state->lookup;
    // The manifest and the package lie side by side on one server: the
    // proxy found for the first serves them all. The options name the same
    // script or detection whichever plan asks, since they come from the
    // settings alone.
    if (!lookup.done) {
        lookup.address = address;
        lookup.options = DownloadDetail::AutomaticOptions(plan);
    }
    return lookup;
}
