// Remote mouse and keyboard input: events a client sends are injected into
// the desktop this server runs on. On Linux that is an X display, driven
// through the XTest extension; without one, there is no injector and the
// engine ignores input requests.
//
// REQUIRES: external synchronization. One thread at a time uses an injector
// (the engine's io thread); open it on any thread before handing it over.
// Each call flushes its requests and waits for no answer from X.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/input_mapping.h"

namespace rk::platform {

// Whether the X display of that name (such as ":0") accepts a connection
// now; false for an empty name.
bool display_reachable(const std::string& name);

class InputInjector {
public:
    virtual ~InputInjector() = default;
    InputInjector() = default;
    InputInjector(const InputInjector&) = delete;
    InputInjector& operator=(const InputInjector&) = delete;

    // The display named by $DISPLAY; nullptr when it is unset, unreachable or
    // lacks XTest.
    static std::unique_ptr<InputInjector> open_display();
    // The same for a display name such as ":91"; nullptr for an empty name.
    static std::unique_ptr<InputInjector> open_display(const std::string& name);

    // The screen in pixels as it is now (follows resolution changes).
    virtual ScreenSize screen_size() = 0;

    // A mouse request: a Windows mouse message number, a position in screen
    // pixels and, for the wheel message, the wheel amount (120 a notch,
    // positive away from the user). See mouse_events() for what happens.
    virtual void mouse(std::int32_t message, std::int32_t x, std::int32_t y,
                       std::int32_t wheel) = 0;

    // A key press or release; a key with no keysym, or whose keysym the
    // display's keyboard cannot produce, is ignored. The scan code is not
    // needed on X: the virtual key alone picks the keysym.
    virtual void key(const KeyStroke& stroke) = 0;

    // False once the connection to the display has broken; every later
    // request is then ignored. The process carries on.
    virtual bool connected() const = 0;
};

// Opens an injector when remote input is first asked for; nullptr for none.
using InputOpener = std::function<std::unique_ptr<InputInjector>()>;

}  // namespace rk::platform
