#pragma once

#include <windows.h>

#include <utility>

namespace NCommon {

// One owner for one platform resource, released on every way out. Each
// holder is move-only; get() lends the raw value, release() gives it up.
template <typename Traits>
class ScopedResource {
public:
    using Value = typename Traits::Value;

    ScopedResource() = default;
    explicit ScopedResource(Value value) : m_value(value) {}
    ~ScopedResource() { reset(); }

    ScopedResource(ScopedResource&& other) noexcept : m_value(other.release()) {}
    ScopedResource& operator=(ScopedResource&& other) noexcept
    {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    ScopedResource(const ScopedResource&) = delete;
    ScopedResource& operator=(const ScopedResource&) = delete;

    Value get() const { return m_value; }
    bool valid() const { return Traits::IsValid(m_value); }
    explicit operator bool() const { return valid(); }

    Value release()
    {
        Value value = m_value;
        m_value = Traits::Invalid();
        return value;
    }

    void reset(Value value = Traits::Invalid())
    {
        if (Traits::IsValid(m_value)) {
            Traits::Close(m_value);
        }
        m_value = value;
    }

private:
    Value m_value = Traits::Invalid();
};

// Kernel handles: files, processes, threads, snapshots. Both null and
// INVALID_HANDLE_VALUE mean "none", since the API uses either.
struct KernelHandleTraits {
    using Value = HANDLE;
    static Value Invalid() { return nullptr; }
    static bool IsValid(Value value) { return value != nullptr && value != INVALID_HANDLE_VALUE; }
    static void Close(Value value) { ::CloseHandle(value); }
};
using ScopedHandle = ScopedResource<KernelHandleTraits>;

struct LibraryTraits {
    using Value = HMODULE;
    static Value Invalid() { return nullptr; }
    static bool IsValid(Value value) { return value != nullptr; }
    static void Close(Value value) { ::FreeLibrary(value); }
};
using ScopedLibrary = ScopedResource<LibraryTraits>;

// A COM interface pointer that releases its reference.
template <typename Interface>
class ComPtr {
public:
    ComPtr() = default;
    ~ComPtr() { reset(); }
    ComPtr(ComPtr&& other) noexcept : m_pointer(std::exchange(other.m_pointer, nullptr)) {}
    ComPtr& operator=(ComPtr&& other) noexcept
    {
        if (this != &other) {
            reset();
            m_pointer = std::exchange(other.m_pointer, nullptr);
        }
        return *this;
    }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;

    Interface* get() const { return m_pointer; }
    Interface* operator->() const { return m_pointer; }
    explicit operator bool() const { return m_pointer != nullptr; }

    // For out-parameters: releases what is held and lends the slot.
    Interface** put()
    {
        reset();
        return &m_pointer;
    }
    void** put_void() { return reinterpret_cast<void**>(put()); }

    void reset()
    {
        if (m_pointer != nullptr) {
            m_pointer->Release();
            m_pointer = nullptr;
        }
    }

private:
    Interface* m_pointer = nullptr;
};

// A BSTR that is freed with SysFreeString.
class ScopedBstr {
public:
    explicit ScopedBstr(const wchar_t* text) : m_bstr(::SysAllocString(text)) {}
    ~ScopedBstr() { ::SysFreeString(m_bstr); }
    ScopedBstr(const ScopedBstr&) = delete;
    ScopedBstr& operator=(const ScopedBstr&) = delete;
    BSTR get() const { return m_bstr; }
    explicit operator bool() const { return m_bstr != nullptr; }

private:
    BSTR m_bstr;
};

// A VARIANT that is cleared (freeing any string it holds) on every way out.
class ScopedVariant {
public:
    ScopedVariant() { ::VariantInit(&m_variant); }
    ~ScopedVariant() { ::VariantClear(&m_variant); }
    ScopedVariant(const ScopedVariant&) = delete;
    ScopedVariant& operator=(const ScopedVariant&) = delete;
    VARIANT* get() { return &m_variant; }
    const VARIANT& value() const { return m_variant; }

private:
    VARIANT m_variant;
};

}  // namespace NCommon
