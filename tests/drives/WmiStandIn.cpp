// A stand-in for the WMI locator, for the test Wine prefix only. Wine's own
// WMI reports every disk as IDE, so no USB drive could ever be found there.
//
// The world it reports comes from a fixture file named by the environment
// variable QUILLON_WMI_FIXTURE (a Windows path), read when the locator is
// created. UTF-8 text, one record a line, fields separated by tabs:
//
//   disk      Prop=Value ...   a Win32_DiskDrive (DeviceID, PNPDeviceID, InterfaceType)
//   partition Prop=Value ...   a Win32_DiskPartition of the last disk
//   logical   Prop=Value ...   a Win32_LogicalDisk of the last partition
//   fail      TEXT             ExecQuery of any query containing TEXT fails
//   failnext  TEXT             the enumerator of such a query fails on its first Next
//   refuse    locator|connect|blanket   that step fails
//   hold      MILLISECONDS     ConnectServer takes that long (a slow provider)
//
// "Prop:i4=5" gives an integer property instead of a string. A property that
// an object does not list reads as null.
//
// Everything the client asks is appended to the fixture's path plus ".log":
//   connect <TAB> namespace <TAB> user <TAB> password <TAB> locale <TAB> flags <TAB> authority <TAB> context
//   blanket <TAB> authn <TAB> authz <TAB> principal <TAB> level <TAB> impersonation <TAB> identity <TAB> capabilities
//   query <TAB> language <TAB> flags (hex) <TAB> query text
//   next-timeout <TAB> value          (only when it is not WBEM_INFINITE)
//
// StandInLiveObjects() tells how many of its WMI objects are still alive, so
// a test can see that the client released everything.
#include <windows.h>
#include <wbemidl.h>

#include <algorithm>
#include <atomic>
#include <cwctype>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

namespace {

std::atomic<long> g_liveObjects(0);

std::wstring Lower(std::wstring text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
    return text;
}

bool EqualNoCase(const std::wstring& a, const std::wstring& b)
{
    return Lower(a) == Lower(b);
}

std::string ToUtf8(const std::wstring& text)
{
    if (text.empty()) {
        return std::string();
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], size,
                        nullptr, nullptr);
    return result;
}

std::wstring FromUtf8(const std::string& text)
{
    if (text.empty()) {
        return std::wstring();
    }
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], size);
    return result;
}

std::wstring OrNull(const wchar_t* text)
{
    return text == nullptr ? std::wstring(L"(null)") : std::wstring(text);
}

std::wstring Pointer(const void* pointer)
{
    return pointer == nullptr ? L"(null)" : L"(set)";
}

struct Value {
    bool isString = true;
    std::wstring text;
    LONG number = 0;
};

struct Instance {
    std::wstring className;
    std::map<std::wstring, Value> properties;  // keys in lower case
    std::vector<std::shared_ptr<Instance>> children;

    std::wstring Text(const wchar_t* property) const
    {
        const auto found = properties.find(Lower(property));
        return found == properties.end() || !found->second.isString ? std::wstring()
                                                                      : found->second.text;
    }
    bool Has(const wchar_t* property) const
    {
        const auto found = properties.find(Lower(property));
        return found != properties.end() && found->second.isString;
    }
};

struct World {
    std::vector<std::shared_ptr<Instance>> disks;
    std::vector<std::wstring> failQueries;
    std::vector<std::wstring> failNextQueries;
    bool refuseLocator = false;
    bool refuseConnect = false;
    bool refuseBlanket = false;
    DWORD holdMs = 0;
    std::wstring logPath;

    void Log(const std::wstring& line) const
    {
        if (logPath.empty()) {
            return;
        }
        const HANDLE file = CreateFileW(logPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return;
        }
        const std::string bytes = ToUtf8(line) + "\n";
        DWORD written = 0;
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        CloseHandle(file);
    }
};

std::vector<std::wstring> SplitTabs(const std::wstring& line)
{
    std::vector<std::wstring> fields;
    size_t start = 0;
    for (;;) {
        const size_t tab = line.find(L'\t', start);
        fields.push_back(line.substr(start, tab == std::wstring::npos ? std::wstring::npos : tab - start));
        if (tab == std::wstring::npos) {
            return fields;
        }
        start = tab + 1;
    }
}

std::shared_ptr<Instance> MakeInstance(const wchar_t* className,
                                       const std::vector<std::wstring>& fields)
{
    auto instance = std::make_shared<Instance>();
    instance->className = className;
    for (size_t i = 1; i < fields.size(); ++i) {
        const size_t equals = fields[i].find(L'=');
        if (equals == std::wstring::npos) {
            continue;
        }
        std::wstring name = fields[i].substr(0, equals);
        Value value;
        value.text = fields[i].substr(equals + 1);
        const size_t colon = name.find(L':');
        if (colon != std::wstring::npos) {
            value.isString = false;
            value.number = std::wcstol(value.text.c_str(), nullptr, 10);
            name = name.substr(0, colon);
        }
        instance->properties[Lower(name)] = value;
    }
    return instance;
}

// False when the variable names a file that cannot be read.
bool LoadWorld(World* world)
{
    wchar_t path[MAX_PATH * 2] = {};
    const DWORD length = GetEnvironmentVariableW(L"QUILLON_WMI_FIXTURE", path, MAX_PATH * 2);
    if (length == 0 || length >= MAX_PATH * 2) {
        return true;
    }
    world->logPath = std::wstring(path) + L".log";

    const HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    std::string bytes;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
        bytes.append(buffer, got);
    }
    CloseHandle(file);

    const std::wstring text = FromUtf8(bytes);
    std::shared_ptr<Instance> disk;
    std::shared_ptr<Instance> partition;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) {
            end = text.size();
        }
        std::wstring line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == L'\r') {
            line.pop_back();
        }
        if (line.empty() || line[0] == L'#') {
            continue;
        }
        const std::vector<std::wstring> fields = SplitTabs(line);
        const std::wstring& kind = fields[0];
        const std::wstring argument = fields.size() > 1 ? fields[1] : std::wstring();
        if (kind == L"disk") {
            disk = MakeInstance(L"Win32_DiskDrive", fields);
            partition.reset();
            world->disks.push_back(disk);
        } else if (kind == L"partition" && disk) {
            partition = MakeInstance(L"Win32_DiskPartition", fields);
            disk->children.push_back(partition);
        } else if (kind == L"logical" && partition) {
            partition->children.push_back(MakeInstance(L"Win32_LogicalDisk", fields));
        } else if (kind == L"fail") {
            world->failQueries.push_back(argument);
        } else if (kind == L"failnext") {
            world->failNextQueries.push_back(argument);
        } else if (kind == L"refuse") {
            world->refuseLocator |= argument == L"locator";
            world->refuseConnect |= argument == L"connect";
            world->refuseBlanket |= argument == L"blanket";
        } else if (kind == L"hold") {
            world->holdMs = static_cast<DWORD>(wcstoul(argument.c_str(), nullptr, 10));
        }
    }
    return true;
}

// QueryInterface for an object with one interface of its own.
template <typename Interface>
HRESULT HandOut(Interface* self, REFIID iid, REFIID own, void** out)
{
    if (out == nullptr) {
        return E_POINTER;
    }
    if (iid == IID_IUnknown || iid == own) {
        *out = self;
        self->AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

// Reference counting shared by every object here.
template <typename Derived>
class RefCounted {
public:
    RefCounted() { ++g_liveObjects; }
    virtual ~RefCounted() { --g_liveObjects; }

protected:
    ULONG AddRefImpl() { return static_cast<ULONG>(++m_references); }
    ULONG ReleaseImpl()
    {
        const long left = --m_references;
        if (left == 0) {
            delete this;
        }
        return static_cast<ULONG>(left);
    }

private:
    std::atomic<long> m_references{1};
};

#define STANDIN_REFCOUNT                                              \
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); } \
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

class ClassObject final : public IWbemClassObject, RefCounted<ClassObject> {
public:
    explicit ClassObject(std::shared_ptr<Instance> instance) : m_instance(std::move(instance)) {}
    STANDIN_REFCOUNT

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        return HandOut<IWbemClassObject>(this, iid, IID_IWbemClassObject, out);
    }

    HRESULT STDMETHODCALLTYPE Get(LPCWSTR name, LONG, VARIANT* value, CIMTYPE* type, LONG* flavor) override
    {
        if (name == nullptr) {
            return WBEM_E_INVALID_PARAMETER;
        }
        if (flavor != nullptr) {
            *flavor = WBEM_FLAVOR_ORIGIN_PROPAGATED;
        }
        const auto found = m_instance->properties.find(Lower(name));
        if (value != nullptr) {
            VariantInit(value);
            if (found == m_instance->properties.end()) {
                V_VT(value) = VT_NULL;
            } else if (found->second.isString) {
                V_VT(value) = VT_BSTR;
                V_BSTR(value) = SysAllocStringLen(found->second.text.data(),
                                                  static_cast<UINT>(found->second.text.size()));
            } else {
                V_VT(value) = VT_I4;
                V_I4(value) = found->second.number;
            }
        }
        if (type != nullptr) {
            *type = found != m_instance->properties.end() && !found->second.isString ? CIM_SINT32
                                                                                     : CIM_STRING;
        }
        return WBEM_S_NO_ERROR;
    }

    HRESULT STDMETHODCALLTYPE GetQualifierSet(IWbemQualifierSet**) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE Put(LPCWSTR, LONG, VARIANT*, CIMTYPE) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE Delete(LPCWSTR) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetNames(LPCWSTR, LONG, VARIANT*, SAFEARRAY**) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE BeginEnumeration(LONG) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE Next(LONG, BSTR*, VARIANT*, CIMTYPE*, LONG*) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE EndEnumeration() override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetPropertyQualifierSet(LPCWSTR, IWbemQualifierSet**) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE Clone(IWbemClassObject**) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetObjectText(LONG, BSTR*) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE SpawnDerivedClass(LONG, IWbemClassObject**) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE SpawnInstance(LONG, IWbemClassObject**) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE CompareTo(LONG, IWbemClassObject*) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetPropertyOrigin(LPCWSTR, BSTR*) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE InheritsFrom(LPCWSTR) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR, LONG, IWbemClassObject**, IWbemClassObject**) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE PutMethod(LPCWSTR, LONG, IWbemClassObject*, IWbemClassObject*) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE DeleteMethod(LPCWSTR) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE BeginMethodEnumeration(LONG) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE NextMethod(LONG, BSTR*, IWbemClassObject**, IWbemClassObject**) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE EndMethodEnumeration() override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet**) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetMethodOrigin(LPCWSTR, BSTR*) override { return WBEM_E_NOT_SUPPORTED; }

private:
    std::shared_ptr<Instance> m_instance;
};

class Enumerator final : public IEnumWbemClassObject, RefCounted<Enumerator> {
public:
    // failure: what Next answers once the objects run out (or at once, for
    // a failing enumeration), S_FALSE for a plain end.
    Enumerator(std::shared_ptr<const World> world, std::vector<std::shared_ptr<Instance>> objects,
               HRESULT failure)
        : m_world(std::move(world)), m_objects(std::move(objects)), m_failure(failure)
    {
    }
    STANDIN_REFCOUNT

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        return HandOut<IEnumWbemClassObject>(this, iid, IID_IEnumWbemClassObject, out);
    }

    HRESULT STDMETHODCALLTYPE Next(LONG timeout, ULONG count, IWbemClassObject** objects,
                                   ULONG* returned) override
    {
        if (objects == nullptr || returned == nullptr) {
            return WBEM_E_INVALID_PARAMETER;
        }
        if (timeout != static_cast<LONG>(WBEM_INFINITE)) {
            m_world->Log(L"next-timeout\t" + std::to_wstring(timeout));
        }
        *returned = 0;
        while (*returned < count && m_position < m_objects.size()) {
            objects[(*returned)++] = new ClassObject(m_objects[m_position++]);
        }
        if (*returned == count) {
            return WBEM_S_NO_ERROR;
        }
        return m_failure;
    }

    HRESULT STDMETHODCALLTYPE Reset() override
    {
        m_position = 0;
        return WBEM_S_NO_ERROR;
    }
    HRESULT STDMETHODCALLTYPE NextAsync(ULONG, IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE Clone(IEnumWbemClassObject**) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE Skip(LONG, ULONG) override { return WBEM_E_NOT_SUPPORTED; }

private:
    std::shared_ptr<const World> m_world;
    std::vector<std::shared_ptr<Instance>> m_objects;
    size_t m_position = 0;
    HRESULT m_failure;
};

class Services final : public IWbemServices, public IClientSecurity, RefCounted<Services> {
public:
    explicit Services(std::shared_ptr<const World> world) : m_world(std::move(world)) {}
    STANDIN_REFCOUNT

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (out == nullptr) {
            return E_POINTER;
        }
        if (iid == IID_IUnknown || iid == IID_IWbemServices) {
            *out = static_cast<IWbemServices*>(this);
        } else if (iid == IID_IClientSecurity) {
            *out = static_cast<IClientSecurity*>(this);
        } else {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }

    // IClientSecurity: what the client asks for is written down.
    HRESULT STDMETHODCALLTYPE SetBlanket(IUnknown*, DWORD authn, DWORD authz, OLECHAR* principal,
                                         DWORD level, DWORD impersonation, void* identity,
                                         DWORD capabilities) override
    {
        m_world->Log(L"blanket\t" + std::to_wstring(authn) + L"\t" + std::to_wstring(authz) + L"\t" +
                     OrNull(principal) + L"\t" + std::to_wstring(level) + L"\t" +
                     std::to_wstring(impersonation) + L"\t" + Pointer(identity) + L"\t" +
                     std::to_wstring(capabilities));
        return m_world->refuseBlanket ? E_ACCESSDENIED : S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueryBlanket(IUnknown*, DWORD*, DWORD*, OLECHAR**, DWORD*, DWORD*,
                                           void**, DWORD*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE CopyProxy(IUnknown*, IUnknown**) override { return E_NOTIMPL; }

    HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR language, const BSTR query, LONG flags,
                                        IWbemContext*, IEnumWbemClassObject** result) override
    {
        if (result == nullptr || query == nullptr || language == nullptr) {
            return WBEM_E_INVALID_PARAMETER;
        }
        *result = nullptr;
        const std::wstring text(query, SysStringLen(query));
        wchar_t hexFlags[16];
        wsprintfW(hexFlags, L"0x%lx", static_cast<unsigned long>(flags));
        m_world->Log(L"query\t" + std::wstring(language, SysStringLen(language)) + L"\t" + hexFlags +
                     L"\t" + text);
        if (!EqualNoCase(language, L"WQL")) {
            return WBEM_E_INVALID_QUERY_TYPE;
        }
        for (const std::wstring& part : m_world->failQueries) {
            if (text.find(part) != std::wstring::npos) {
                return WBEM_E_FAILED;
            }
        }
        HRESULT endOfObjects = WBEM_S_FALSE;
        std::vector<std::shared_ptr<Instance>> objects;
        const HRESULT answer = Answer(text, &objects, &endOfObjects);
        if (FAILED(answer)) {
            return answer;
        }
        for (const std::wstring& part : m_world->failNextQueries) {
            if (text.find(part) != std::wstring::npos) {
                objects.clear();
                endOfObjects = WBEM_E_FAILED;
            }
        }
        *result = new Enumerator(m_world, std::move(objects), endOfObjects);
        return WBEM_S_NO_ERROR;
    }

    HRESULT STDMETHODCALLTYPE OpenNamespace(const BSTR, LONG, IWbemContext*, IWbemServices**, IWbemCallResult**) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE CancelAsyncCall(IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE QueryObjectSink(LONG, IWbemObjectSink**) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetObject(const BSTR, LONG, IWbemContext*, IWbemClassObject**, IWbemCallResult**) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetObjectAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE PutClass(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE PutClassAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE DeleteClass(const BSTR, LONG, IWbemContext*, IWbemCallResult**) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE DeleteClassAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE CreateClassEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE CreateClassEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE PutInstance(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE PutInstanceAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE DeleteInstance(const BSTR, LONG, IWbemContext*, IWbemCallResult**) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE DeleteInstanceAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE CreateInstanceEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE CreateInstanceEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE ExecQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE ExecNotificationQuery(const BSTR, const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE ExecNotificationQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE ExecMethod(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*, IWbemClassObject**, IWbemCallResult**) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE ExecMethodAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*, IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }

private:
    // The three shapes drive discovery sends; anything else is refused, as
    // a real provider refuses what it cannot parse. Object paths are matched
    // exactly as written, so an identifier that was altered finds nothing.
    HRESULT Answer(const std::wstring& text, std::vector<std::shared_ptr<Instance>>* objects,
                   HRESULT* endOfObjects) const
    {
        static const std::wregex disks(
            LR"(^\s*SELECT\s+\*\s+FROM\s+Win32_DiskDrive(\s+WHERE\s+InterfaceType\s*=\s*'([^']*)')?\s*$)",
            std::regex::icase);
        static const std::wregex partitions(
            LR"(^\s*ASSOCIATORS\s+OF\s+\{Win32_DiskDrive\.DeviceID='(.*)'\}\s+WHERE\s+AssocClass\s*=\s*Win32_DiskDriveToDiskPartition\s*$)",
            std::regex::icase);
        static const std::wregex logicals(
            LR"(^\s*ASSOCIATORS\s+OF\s+\{Win32_DiskPartition\.DeviceID='(.*)'\}\s+WHERE\s+AssocClass\s*=\s*Win32_LogicalDiskToPartition\s*$)",
            std::regex::icase);

        std::wsmatch match;
        if (std::regex_match(text, match, disks)) {
            for (const auto& disk : m_world->disks) {
                if (!match[1].matched ||
                    (disk->Has(L"InterfaceType") &&
                     EqualNoCase(disk->Text(L"InterfaceType"), match[2].str()))) {
                    objects->push_back(disk);
                }
            }
            return WBEM_S_NO_ERROR;
        }
        const bool askPartitions = std::regex_match(text, match, partitions);
        if (askPartitions || std::regex_match(text, match, logicals)) {
            const std::wstring id = match[1].str();
            const Instance* owner = nullptr;
            for (const auto& disk : m_world->disks) {
                if (askPartitions && disk->Text(L"DeviceID") == id) {
                    owner = disk.get();
                }
                for (const auto& partition : disk->children) {
                    if (!askPartitions && partition->Text(L"DeviceID") == id) {
                        owner = partition.get();
                    }
                }
            }
            if (owner == nullptr) {
                // WMI answers a path to no object when the enumerator is read.
                *endOfObjects = WBEM_E_NOT_FOUND;
                return WBEM_S_NO_ERROR;
            }
            *objects = owner->children;
            return WBEM_S_NO_ERROR;
        }
        return WBEM_E_INVALID_QUERY;
    }

    std::shared_ptr<const World> m_world;
};

class Locator final : public IWbemLocator, RefCounted<Locator> {
public:
    explicit Locator(std::shared_ptr<const World> world) : m_world(std::move(world)) {}
    STANDIN_REFCOUNT

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        return HandOut<IWbemLocator>(this, iid, IID_IWbemLocator, out);
    }

    HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR resource, const BSTR user, const BSTR password,
                                            const BSTR locale, LONG flags, const BSTR authority,
                                            IWbemContext* context, IWbemServices** services) override
    {
        if (services == nullptr) {
            return WBEM_E_INVALID_PARAMETER;
        }
        *services = nullptr;
        m_world->Log(L"connect\t" + OrNull(resource) + L"\t" + OrNull(user) + L"\t" +
                     OrNull(password) + L"\t" + OrNull(locale) + L"\t" + std::to_wstring(flags) +
                     L"\t" + OrNull(authority) + L"\t" + Pointer(context));
        Sleep(m_world->holdMs);
        if (m_world->refuseConnect) {
            return WBEM_E_ACCESS_DENIED;
        }
        if (resource == nullptr || !EqualNoCase(resource, L"ROOT\\CIMV2")) {
            return WBEM_E_INVALID_NAMESPACE;
        }
        *services = new Services(m_world);
        return WBEM_S_NO_ERROR;
    }

private:
    std::shared_ptr<const World> m_world;
};

class Factory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        return HandOut<IClassFactory>(this, iid, IID_IClassFactory, out);
    }
    // One static factory that lives as long as the DLL.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override
    {
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = nullptr;
        if (outer != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        auto world = std::make_shared<World>();
        if (!LoadWorld(world.get()) || world->refuseLocator) {
            return CO_E_SERVER_EXEC_FAILURE;
        }
        Locator* locator = new Locator(world);
        const HRESULT result = locator->QueryInterface(iid, out);
        locator->Release();
        return result;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

Factory g_factory;

}  // namespace

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out)
{
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = nullptr;
    if (clsid != CLSID_WbemLocator) {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    return g_factory.QueryInterface(iid, out);
}

extern "C" HRESULT WINAPI DllCanUnloadNow()
{
    return g_liveObjects.load() == 0 ? S_OK : S_FALSE;
}

extern "C" LONG WINAPI StandInLiveObjects()
{
    return g_liveObjects.load();
}
