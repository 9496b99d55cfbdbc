#include "Download.h"

#include <windows.h>
#include <winhttp.h>

#include <climits>
#include <fstream>
#include <string>
#include <vector>

#include "IInstallListener.h"
#include "Log.h"
#include "MessageError.h"
#include "ScopedHandles.h"
#include "easylogging++.h"

namespace {

using namespace DownloadConstants;

struct InternetHandleTraits {
    using Value = HINTERNET;
    static Value Invalid() { return nullptr; }
    static bool IsValid(Value value) { return value != nullptr; }
    static void Close(Value value) { ::WinHttpCloseHandle(value); }
};
using ScopedInternet = NCommon::ScopedResource<InternetHandleTraits>;

// WinHTTP hands out the strings of both structures with GlobalAlloc and
// leaves freeing them to us.
struct UserProxySettings {
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
    UserProxySettings() = default;
    UserProxySettings(const UserProxySettings&) = delete;
    UserProxySettings& operator=(const UserProxySettings&) = delete;
    ~UserProxySettings()
    {
        GlobalFree(config.lpszAutoConfigUrl);
        GlobalFree(config.lpszProxy);
        GlobalFree(config.lpszProxyBypass);
    }
};

struct FoundProxy {
    WINHTTP_PROXY_INFO info{};
    FoundProxy() = default;
    FoundProxy(const FoundProxy&) = delete;
    FoundProxy& operator=(const FoundProxy&) = delete;
    ~FoundProxy()
    {
        GlobalFree(info.lpszProxy);
        GlobalFree(info.lpszProxyBypass);
    }
};

// WinHTTP reports a receive time-out as ERROR_WINHTTP_TIMEOUT; Wine's
// WinHTTP passes the socket's own WSAETIMEDOUT through instead. Both mean
// the same thing here, and both resume.
bool IsTimeout(DWORD error)
{
    constexpr DWORD kSocketTimedOut = 10060;  // WSAETIMEDOUT
    return error == ERROR_WINHTTP_TIMEOUT || error == kSocketTimedOut;
}

bool IsCancelled(const std::atomic<bool>* cancel)
{
    return cancel != nullptr && cancel->load();
}

unsigned long ErrorNumber(DWORD error)
{
    return static_cast<unsigned long>(error);
}

// A missing string is written as nothing after the label, so that the line
// reads the same as an empty setting; the value is written in UTF-8.
std::string FieldText(const wchar_t* text)
{
    return text == nullptr ? std::string() : ToUtf8(text);
}

// The error line of a failed call, then the raised text.
[[noreturn]] void RaiseFailure(const char* call)
{
    const DWORD error = GetLastError();
    LOG(ERROR) << call << " error: " << ErrorNumber(error);
    throw MessageError(std::string(call) + " failed");
}

struct Transfer {
    int32_t totalLength = -1;
    uint32_t received = 0;
    uint32_t offset = 0;
    int progressCounter = 0;
    // Time-outs in a row that brought no byte at all.
    int idleTimeouts = 0;
};

float ProgressFraction(const Transfer& transfer)
{
    if (transfer.progressCounter <= 1) {
        return 0.1f;
    }
    // The ratio is formed in single precision, the rest in double; the
    // volatile stores keep x87 builds from carrying extra precision along.
    volatile float ratio =
        static_cast<float>(transfer.received) / static_cast<float>(transfer.totalLength);
    volatile double fraction = 0.1 + 0.9 * static_cast<double>(ratio);
    // A server that sends more than it was asked for would push the bar past
    // its end; the download is still running, so it stays at full.
    if (fraction > 1.0) {
        fraction = 1.0;
    }
    return static_cast<float>(fraction);
}

// Blocks come about one TLS record (16 KiB) at a time, and a write of each
// on its own is a system call per block. They are read straight into a
// staging area instead, which goes to the package stream whenever the next
// block might not fit and when the request ends, however it ends: the file
// always holds every byte that arrived.
class StagedBlocks {
public:
    explicit StagedBlocks(std::ofstream& package) : m_package(package), m_staged(kStagingSize) {}
    ~StagedBlocks() { Flush(); }
    StagedBlocks(const StagedBlocks&) = delete;
    StagedBlocks& operator=(const StagedBlocks&) = delete;

    // Room for a block of `size` bytes and one more.
    char* Reserve(size_t size)
    {
        if (m_staged.size() - m_used < size + 1) {
            Flush();
            if (m_staged.size() < size + 1) {
                m_staged.resize(size + 1);
            }
        }
        return m_staged.data() + m_used;
    }

    void Commit(size_t count) { m_used += count; }

private:
    static constexpr size_t kStagingSize = 256 * 1024;

    void Flush()
    {
        // A failed write leaves a package that the extraction rejects.
        m_package.write(m_staged.data(), static_cast<std::streamsize>(m_used));
        m_used = 0;
    }

    std::ofstream& m_package;
    std::vector<char> m_staged;
    size_t m_used = 0;
};

// One request: the length request when the length is still unknown,
// otherwise the range that starts at the offset. Returns 0 when the cancel
// flag stopped it, 1 otherwise.
int PerformRequest(IInstallListener* listener, const std::atomic<bool>* cancel,
                   std::ofstream& package, HINTERNET request, Transfer& transfer)
{
    if (transfer.totalLength > 0) {
        uint64_t rangeEnd = static_cast<uint64_t>(transfer.offset) + kRangeSize - 1;
        const uint64_t last = static_cast<uint64_t>(transfer.totalLength) - 1;
        if (last < rangeEnd) {
            rangeEnd = last;
        }
        const std::wstring header = L"Range: bytes=" + std::to_wstring(transfer.offset) + L"-" +
                                    std::to_wstring(rangeEnd);
        if (!WinHttpAddRequestHeaders(request, header.c_str(), static_cast<DWORD>(header.size()),
                                      WINHTTP_ADDREQ_FLAG_ADD)) {
            RaiseFailure("WinHttpAddRequestHeaders");
        }
    } else if (listener != nullptr) {
        listener->OnProgress(0.1f);
    }

    if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0,
                            0, 0)) {
        RaiseFailure("WinHttpSendRequest");
    }
    if (!WinHttpReceiveResponse(request, nullptr)) {
        RaiseFailure("WinHttpReceiveResponse");
    }

    if (transfer.totalLength == -1) {
        DWORD length = 0;
        DWORD size = sizeof(length);
        DWORD error = ERROR_SUCCESS;
        if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                                 WINHTTP_HEADER_NAME_BY_INDEX, &length, &size,
                                 WINHTTP_NO_HEADER_INDEX)) {
            error = GetLastError();
        } else if (length > static_cast<DWORD>(INT32_MAX)) {
            // The length is kept as a signed 32-bit number with -1 meaning
            // "unknown": a larger one would either end the download at once
            // with an empty package or, at 0xFFFFFFFF, ask for the length
            // again and again. Neither is a length we can use.
            error = ERROR_ARITHMETIC_OVERFLOW;
        }
        if (error != ERROR_SUCCESS) {
            LOG(ERROR) << "WinHttpQueryHeaders error: " << ErrorNumber(error);
            throw MessageError("WinHttpQueryHeaders failed: " + std::to_string(ErrorNumber(error)));
        }
        transfer.totalLength = static_cast<int32_t>(length);
        return 1;
    }

    uint32_t requestBytes = 0;
    StagedBlocks blocks(package);
    for (;;) {
        if (IsCancelled(cancel)) {
            return 0;
        }

        DWORD blockSize = 0;
        if (!WinHttpQueryDataAvailable(request, &blockSize)) {
            const DWORD error = GetLastError();
            if (IsTimeout(error)) {
                // The next request resumes right after what has arrived. A
                // server that stalls again and again before sending anything
                // would be asked for ever; after a few such rounds it counts
                // as a failure like any other.
                if (requestBytes == 0 && ++transfer.idleTimeouts > kMaxIdleTimeouts) {
                    LOG(ERROR) << "WinHttpQueryDataAvailable error: " << ErrorNumber(error);
                    throw MessageError("WinHttpQueryDataAvailable failed");
                }
                transfer.offset += requestBytes;
                return 1;
            }
            LOG(ERROR) << "WinHttpQueryDataAvailable error: " << ErrorNumber(error);
            throw MessageError("WinHttpQueryDataAvailable failed");
        }

        DWORD bytesRead = 0;
        if (!WinHttpReadData(request, blocks.Reserve(blockSize), blockSize, &bytesRead)) {
            RaiseFailure("WinHttpReadData");
        }
        blocks.Commit(bytesRead);

        requestBytes += blockSize;
        transfer.received += blockSize;
        if (blockSize > 0) {
            transfer.idleTimeouts = 0;
        }

        if (listener != nullptr) {
            listener->OnProgress(ProgressFraction(transfer));
            ++transfer.progressCounter;
        }

        if (blockSize == 0) {
            // A whole range counts as done, however much of it arrived.
            transfer.offset += kRangeSize;
            return 1;
        }
    }
}

bool SetTimeouts(HINTERNET request, const DownloadOptions& options)
{
    return WinHttpSetTimeouts(request, options.resolveTimeoutMs, options.connectTimeoutMs,
                              options.sendTimeoutMs, options.receiveTimeoutMs) != FALSE;
}

HINTERNET OpenRequest(HINTERNET connection)
{
    return WinHttpOpenRequest(connection, kVerb, kPath, nullptr, WINHTTP_NO_REFERER,
                              WINHTTP_DEFAULT_ACCEPT_TYPES, kRequestFlags);
}

// The address the automatic proxy is looked up for. The port appears only
// when it is not the HTTPS default, so that the shipped build asks for
// exactly "https://" + host + path.
std::wstring LookupAddress(const DownloadOptions& options)
{
    std::wstring address = L"https://" + options.server;
    if (options.port != INTERNET_DEFAULT_HTTPS_PORT) {
        address += L":" + std::to_wstring(options.port);
    }
    return address + kPath;
}

}  // namespace

std::wstring Download(const std::wstring& folder, IInstallListener* listener,
                      const std::atomic<bool>* cancel, bool proxyOnly)
{
    return Download(folder, listener, cancel, proxyOnly, DownloadOptions());
}

std::wstring Download(const std::wstring& folder, IInstallListener* listener,
                      const std::atomic<bool>* cancel, bool proxyOnly,
                      const DownloadOptions& options)
{
    if (listener != nullptr) {
        listener->OnStatus(IInstallListener::StatusDownloading);
    }

    const std::wstring packagePath = folder + kPackageFileName;
    // _wfopen underneath: no sharing restrictions.
    std::ofstream package(packagePath.c_str(), std::ios::out | std::ios::binary | std::ios::trunc);
    if (!package.is_open()) {
        throw MessageError("Failed to create a temp file");
    }

    Transfer transfer;

    UserProxySettings settings;
    const bool settingsRead = WinHttpGetIEProxyConfigForCurrentUser(&settings.config) != FALSE;
    if (settingsRead) {
        const WINHTTP_CURRENT_USER_IE_PROXY_CONFIG& config = settings.config;
        LOG(INFO) << "WinHttpGetIEProxyConfigForCurrentUser ieProxyConfig.fAutoDetect "
                  << static_cast<int>(config.fAutoDetect);
        LOG(INFO) << "WinHttpGetIEProxyConfigForCurrentUser ieProxyConfig.lpszAutoConfigUrl "
                  << FieldText(config.lpszAutoConfigUrl);
        LOG(INFO) << "WinHttpGetIEProxyConfigForCurrentUser ieProxyConfig.lpszProxy "
                  << FieldText(config.lpszProxy);
        LOG(INFO) << "WinHttpGetIEProxyConfigForCurrentUser ieProxyConfig.lpszProxyBypass "
                  << FieldText(config.lpszProxyBypass);
    } else {
        const DWORD error = GetLastError();
        LOG(ERROR) << "WinHttpGetIEProxyConfigForCurrentUser error: " << ErrorNumber(error);
        // What a failed call left in the structure is not ours to free.
        settings.config = WINHTTP_CURRENT_USER_IE_PROXY_CONFIG{};
    }
    const WINHTTP_CURRENT_USER_IE_PROXY_CONFIG& config = settings.config;

    const bool useAutomaticProxy =
        !settingsRead || config.fAutoDetect || config.lpszAutoConfigUrl != nullptr;
    WINHTTP_AUTOPROXY_OPTIONS automaticOptions{};
    if (useAutomaticProxy) {
        if (config.lpszAutoConfigUrl != nullptr) {
            automaticOptions.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
            automaticOptions.lpszAutoConfigUrl = config.lpszAutoConfigUrl;
        } else {
            automaticOptions.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
            automaticOptions.dwAutoDetectFlags =
                WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
        }
        automaticOptions.fAutoLogonIfChallenged = TRUE;
    }

    DWORD accessType = WINHTTP_ACCESS_TYPE_DEFAULT_PROXY;
    const wchar_t* proxyName = WINHTTP_NO_PROXY_NAME;
    const wchar_t* proxyBypass = WINHTTP_NO_PROXY_BYPASS;
    if (settingsRead && !config.fAutoDetect) {
        if (config.lpszProxy != nullptr) {
            accessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
            proxyName = config.lpszProxy;
            proxyBypass = config.lpszProxyBypass;
        } else {
            accessType = WINHTTP_ACCESS_TYPE_NO_PROXY;
        }
    }

    const std::wstring lookupAddress = LookupAddress(options);
    FoundProxy found;
    bool lookupDone = false;
    bool proxyFound = false;
    DWORD lookupError = ERROR_SUCCESS;

    while (transfer.totalLength == -1 ||
           static_cast<int64_t>(transfer.offset) < static_cast<int64_t>(transfer.totalLength)) {
        ScopedInternet session(WinHttpOpen(kUserAgent, accessType, proxyName, proxyBypass, 0));
        if (!session) {
            RaiseFailure("WinHttpOpen");
        }
        ScopedInternet connection;
        ScopedInternet request;
        // The error of whatever kept this attempt from setting up a request,
        // taken before anything else can overwrite it.
        DWORD attemptError = GetLastError();
        bool succeeded = false;

        if (!proxyOnly) {
            connection.reset(WinHttpConnect(
                session.get(), options.refuseDirectConnect ? nullptr : options.server.c_str(),
                options.port, 0));
            if (connection) {
                request.reset(OpenRequest(connection.get()));
            }
            if (request && SetTimeouts(request.get(), options)) {
                PerformRequest(listener, cancel, package, request.get(), transfer);
                if (IsCancelled(cancel)) {
                    break;
                }
                succeeded = true;
            } else {
                attemptError = GetLastError();
                LOG(INFO) << "direct http request failed, checking for proxy...";
            }
        }

        if (!succeeded && useAutomaticProxy) {
            if (!lookupDone) {
                lookupDone = true;
                LOG(INFO) << "auto detecting proxy...";
                proxyFound = WinHttpGetProxyForUrl(session.get(), lookupAddress.c_str(),
                                                   &automaticOptions, &found.info) != FALSE;
                lookupError = GetLastError();
                LOG(INFO) << "auto detecting proxy result: " << (proxyFound ? 1 : 0);
            }
            if (proxyFound) {
                LOG(INFO) << "WinHttpGetProxyForUrl autoProxyInfo.dwAccessType "
                          << ErrorNumber(found.info.dwAccessType);
                LOG(INFO) << "WinHttpGetProxyForUrl autoProxyInfo.lpszProxy "
                          << FieldText(found.info.lpszProxy);
                LOG(INFO) << "WinHttpGetProxyForUrl autoProxyInfo.lpszProxyBypass "
                          << FieldText(found.info.lpszProxyBypass);
                bool ready = WinHttpSetOption(session.get(), WINHTTP_OPTION_PROXY, &found.info,
                                              sizeof(found.info)) != FALSE;
                if (ready && !connection) {
                    connection.reset(
                        WinHttpConnect(session.get(), options.server.c_str(), options.port, 0));
                    ready = connection.valid();
                }
                if (ready && !request) {
                    request.reset(OpenRequest(connection.get()));
                    ready = request.valid();
                }
                if (ready) {
                    ready = SetTimeouts(request.get(), options);
                }
                if (ready) {
                    PerformRequest(listener, cancel, package, request.get(), transfer);
                    if (IsCancelled(cancel)) {
                        break;
                    }
                    succeeded = true;
                } else {
                    attemptError = GetLastError();
                }
            } else {
                // A look-up that failed is not repeated; every attempt that
                // needed it reports why it failed.
                LOG(ERROR) << "WinHttpGetProxyForUrl LastError " << ErrorNumber(lookupError);
                attemptError = lookupError;
            }
        }

        if (!succeeded) {
            request.reset();
            connection.reset();
            session.reset();
            if (IsCancelled(cancel)) {
                break;
            }
            LOG(ERROR) << "Sending WinHttpRequest error: " << ErrorNumber(attemptError);
            throw MessageError("Sending WinHttpRequest failed");
        }
    }

    package.close();
    return packagePath;
}
