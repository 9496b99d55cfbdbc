#pragma once

#include <memory>
#include <string>

#include "ProxyRules.h"

namespace DownloadDetail {
struct ProxyLookup;
}

// What every download of one run shares: the user's proxy settings, read
// and logged once, and the automatic proxy, looked up at most once. Each
// download still makes its own attempts and takes its own routes; only what
// they would all find out the same way is found out once. The run keeps one
// for all its fetches (the manifest, the package's tail and body, the
// retries); a download handed none makes one of its own.
class Transport {
public:
    Transport();
    ~Transport();
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;

    // The user's settings, read and logged by the first call. The strings
    // stay owned by the transport.
    const ProxyRules::UserSettings& Settings();
    // The run's one look-up, made for `address` by the first download that
    // needs it; every later download reuses its outcome, found or not, so a
    // look-up that failed is not repeated either.
    DownloadDetail::ProxyLookup& Lookup(const std::wstring& address, const ProxyRules::Plan& plan);

private:
    struct State;
    std::unique_ptr<State> m_state;
};
