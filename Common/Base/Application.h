#pragma once

namespace NCommon {

// The least application-object layer the installer needs: one global object
// of a derived class, constructed before the entry point runs. The entry
// point calls InitInstance, then ExitInstance, whose result is the process
// exit code. There is no message loop of its own: dialogs run their own
// modal loops.
class Application {
public:
    Application();
    virtual ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // The framework's own initialisation; derived classes call it from theirs.
    virtual bool InitInstance();
    virtual int ExitInstance();

    // The one application object, or null before it is constructed.
    static Application* Current();

    // The body of the entry point.
    static int Run();
};

}  // namespace NCommon
