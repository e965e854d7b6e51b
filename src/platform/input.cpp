#include "platform/input.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <cstdlib>
#include <mutex>

namespace rk::platform {
namespace {

// Xlib's default handlers end the process on any protocol error and on a
// broken connection; a request the X server refuses must cost one input
// event, and a closed desktop session only the injector, not the server.
int ignore_protocol_error(Display*, XErrorEvent*) { return 0; }

// Returning hands the broken connection to its display's exit handler: the
// injector's marks it lost, any other display keeps Xlib's default exit.
int pass_connection_error(Display*) { return 0; }

void install_error_handlers_once() {
    static std::once_flag once;
    std::call_once(once, [] {
        XSetErrorHandler(&ignore_protocol_error);
        XSetIOErrorHandler(&pass_connection_error);
    });
}

class XTestInjector final : public InputInjector {
public:
    explicit XTestInjector(Display* display)
        : display_(display), root_(DefaultRootWindow(display)) {
        XSetIOErrorExitHandler(display_, &XTestInjector::connection_lost, this);
        read_screen_size();
        // ConfigureNotify on the root window tells of a resolution change
        // without a round trip per request (see follow_changes).
        XSelectInput(display_, root_, StructureNotifyMask);
        XFlush(display_);
    }

    ~XTestInjector() override { XCloseDisplay(display_); }

    ScreenSize screen_size() override {
        follow_changes();
        return size_;
    }

    void mouse(std::int32_t message, std::int32_t x, std::int32_t y, std::int32_t wheel) override {
        follow_changes();
        if (lost_) return;
        for (const MouseEvent& event : mouse_events(message, x, y, wheel, size_)) {
            for (const PointerAction& action : pointer_actions(event, size_)) {
                // A full buffer flushes mid-request, and may find the display gone.
                if (lost_) return;
                perform(action);
            }
        }
        XFlush(display_);
    }

    void key(const KeyStroke& stroke) override {
        follow_changes();
        if (lost_) return;
        const auto keysym = keysym_for(stroke.virtual_key, stroke.extended);
        if (!keysym) return;
        const KeyCode code = XKeysymToKeycode(display_, KeySym{*keysym});
        if (code == 0) return;
        XTestFakeKeyEvent(display_, code, stroke.release ? False : True, CurrentTime);
        XFlush(display_);
    }

    bool connected() const override { return !lost_; }

private:
    static void connection_lost(Display*, void* self) {
        static_cast<XTestInjector*>(self)->lost_ = true;
    }

    void read_screen_size() {
        const int screen = DefaultScreen(display_);
        size_ = {DisplayWidth(display_, screen), DisplayHeight(display_, screen)};
    }

    // Keeps the screen size and the keycodes current when the desktop's
    // resolution or keyboard layout changes while the server runs. XPending
    // reads what has arrived without waiting for more.
    void follow_changes() {
        while (!lost_ && XPending(display_) > 0) {
            XEvent event;
            XNextEvent(display_, &event);
            if (event.type == ConfigureNotify && event.xconfigure.window == root_) {
                size_ = {event.xconfigure.width, event.xconfigure.height};
            } else if (event.type == MappingNotify) {
                XRefreshKeyboardMapping(&event.xmapping);
            }
        }
    }

    void perform(const PointerAction& action) {
        switch (action.kind) {
            case PointerAction::Kind::move:
                XTestFakeMotionEvent(display_, DefaultScreen(display_), action.x, action.y,
                                     CurrentTime);
                break;
            case PointerAction::Kind::press:
            case PointerAction::Kind::release:
                XTestFakeButtonEvent(display_, action.button,
                                     action.kind == PointerAction::Kind::press ? True : False,
                                     CurrentTime);
                break;
        }
    }

    Display* display_;
    Window root_;
    ScreenSize size_;
    bool lost_ = false;
};

}  // namespace

bool display_reachable(const std::string& name) {
    if (name.empty()) return false;
    install_error_handlers_once();
    Display* display = XOpenDisplay(name.c_str());
    if (display == nullptr) return false;
    XCloseDisplay(display);
    return true;
}

std::unique_ptr<InputInjector> InputInjector::open_display() {
    const char* name = std::getenv("DISPLAY");
    return open_display(name == nullptr ? "" : name);
}

std::unique_ptr<InputInjector> InputInjector::open_display(const std::string& name) {
    // Xlib would read $DISPLAY for an empty name; an empty name means none.
    if (name.empty()) return nullptr;
    install_error_handlers_once();
    Display* display = XOpenDisplay(name.c_str());
    if (display == nullptr) return nullptr;
    int event_base = 0;
    int error_base = 0;
    int major = 0;
    int minor = 0;
    if (!XTestQueryExtension(display, &event_base, &error_base, &major, &minor)) {
        XCloseDisplay(display);
        return nullptr;
    }
    return std::make_unique<XTestInjector>(display);
}

}  // namespace rk::platform
