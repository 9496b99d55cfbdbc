#pragma once

#include <exception>
#include <string>

// The engine's failure object: one 8-bit text naming what failed, such as
// "WinHttpSendRequest failed". Raised inside the engine and caught only at
// the step boundaries of InstallBackend::Install.
class MessageError : public std::exception {
public:
    explicit MessageError(std::string text) : m_text(std::move(text)) {}
    const char* what() const noexcept override { return m_text.c_str(); }
    const std::string& Text() const noexcept { return m_text; }

private:
    std::string m_text;
};
