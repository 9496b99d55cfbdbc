#include "Application.h"

#include <windows.h>

namespace NCommon {
namespace {
Application* g_application = nullptr;
}

Application::Application()
{
    g_application = this;
}

Application::~Application()
{
    if (g_application == this) {
        g_application = nullptr;
    }
}

bool Application::InitInstance()
{
    return true;
}

int Application::ExitInstance()
{
    return 0;
}

Application* Application::Current()
{
    return g_application;
}

int Application::Run()
{
    Application* application = Current();
    if (application == nullptr) {
        return 1;
    }
    // The return value of InitInstance only says whether a message loop
    // would follow; this layer has none, so ExitInstance always comes next.
    application->InitInstance();
    return application->ExitInstance();
}

}  // namespace NCommon
