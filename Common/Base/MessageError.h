#pragma once

#include <windows.h>

#include <exception>
#include <string>

// The engine's failure object: one 8-bit text naming what failed, such as
// "WinHttpSendRequest failed", and the thread's last error at the moment it
// was raised. Raised inside the engine and caught only at the step
// boundaries of InstallBackend::Install. The number travels with the error
// because everything between the raise and the catch (handles closed on the
// way out, the log statement itself) may overwrite the thread's own.
class MessageError : public std::exception {
public:
    explicit MessageError(std::string text) : MessageError(std::move(text), ::GetLastError()) {}
    MessageError(std::string text, DWORD lastError) : m_text(std::move(text)), m_lastError(lastError)
    {
    }
    const char* what() const noexcept override { return m_text.c_str(); }
    const std::string& Text() const noexcept { return m_text; }
    DWORD LastError() const noexcept { return m_lastError; }

private:
    std::string m_text;
    DWORD m_lastError;
};
