#pragma once

#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>

#include "easylogging++.h"

// Points the default logger at a fresh file of its own and reads back what
// was written, message text only, one line per statement.
class LogCapture {
public:
    LogCapture()
    {
        wchar_t temp[MAX_PATH + 1] = {};
        GetTempPathW(MAX_PATH, temp);
        wchar_t name[MAX_PATH + 1] = {};
        GetTempFileNameW(temp, L"qlg", 0, name);
        m_path = name;
        char ansi[MAX_PATH * 2] = {};
        WideCharToMultiByte(CP_ACP, 0, name, -1, ansi, sizeof(ansi), nullptr, nullptr);
        m_ansiPath = ansi;

        el::Configurations configuration;
        configuration.setToDefault();
        configuration.setGlobally(el::ConfigurationType::ToFile, "true");
        configuration.setGlobally(el::ConfigurationType::ToStandardOutput, "false");
        configuration.setGlobally(el::ConfigurationType::Filename, m_ansiPath);
        configuration.setGlobally(el::ConfigurationType::Format, "%level|%msg");
        el::Loggers::reconfigureAllLoggers(configuration);
    }

    ~LogCapture()
    {
        el::Configurations configuration;
        configuration.setToDefault();
        configuration.setGlobally(el::ConfigurationType::ToFile, "false");
        el::Loggers::reconfigureAllLoggers(configuration);
        DeleteFileW(m_path.c_str());
    }

    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // "LEVEL|message" lines, newline-separated.
    std::string Text() const
    {
        std::ifstream in(m_ansiPath, std::ios::binary);
        std::stringstream content;
        content << in.rdbuf();
        std::string text = content.str();
        // The file is written in text mode: CR LF on Windows.
        std::string lines;
        for (char c : text) {
            if (c != '\r') {
                lines += c;
            }
        }
        return lines;
    }

    bool Contains(const std::string& line) const
    {
        return ("\n" + Text()).find("\n" + line + "\n") != std::string::npos;
    }

private:
    std::wstring m_path;
    std::string m_ansiPath;
};
