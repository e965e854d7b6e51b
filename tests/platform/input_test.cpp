// Injection into a real X server: each test starts its own Xvfb, watches a
// window that covers the screen through a second connection, and checks
// that the injected events arrive where the arithmetic puts them.
#include "platform/input.h"

// GoogleTest before Xlib: Xlib's None and Bool macros would break its headers.
#include <gtest/gtest.h>
// clang-format off
#include <X11/Xlib.h>
#include <X11/keysym.h>
// clang-format on
#include <poll.h>
#include <stdlib.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "testing/xvfb.h"

namespace rk::platform {
namespace {

using testing::Xvfb;

constexpr int kWidth = 1280;
constexpr int kHeight = 800;

// The pixel the injector aims at for a client position.
int landing(std::int32_t pixel, std::int32_t extent) {
    return to_pixel(std::int32_t(normalise(pixel, extent)), extent);
}

class InputInjectorTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!Xvfb::available()) {
            GTEST_SKIP() << Xvfb::kProgram << " is not installed (scripts/deps installs xvfb)";
        }
        xvfb_ = std::make_unique<Xvfb>();
        ASSERT_FALSE(xvfb_->display().empty()) << xvfb_->error();
        observer_ = XOpenDisplay(xvfb_->display().c_str());
        ASSERT_NE(observer_, nullptr) << "cannot connect to " << xvfb_->display();
        injector_ = InputInjector::open_display(xvfb_->display());
        ASSERT_NE(injector_, nullptr);
        open_window();
    }

    void TearDown() override {
        injector_.reset();
        if (observer_ != nullptr) XCloseDisplay(observer_);
        xvfb_.reset();
    }

    void open_window() {
        const Window root = DefaultRootWindow(observer_);
        window_ = XCreateSimpleWindow(observer_, root, 0, 0, kWidth, kHeight, 0, 0, 0);
        XSelectInput(observer_, window_,
                     StructureNotifyMask | PointerMotionMask | ButtonPressMask | ButtonReleaseMask |
                         KeyPressMask | KeyReleaseMask);
        XMapWindow(observer_, window_);
        ASSERT_TRUE(next_event(MapNotify)) << "the test window was never mapped";
        XSetInputFocus(observer_, window_, RevertToParent, CurrentTime);
        XSync(observer_, False);
    }

    // The next event of `type` on the test window; others are skipped.
    // Bounded: nullopt when none arrives within two seconds.
    std::optional<XEvent> next_event(int type) {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::seconds(2);
        while (Clock::now() < deadline) {
            while (XPending(observer_) > 0) {
                XEvent event;
                XNextEvent(observer_, &event);
                if (event.type == type) return event;
            }
            pollfd p{ConnectionNumber(observer_), POLLIN, 0};
            ::poll(&p, 1, 10);
        }
        return std::nullopt;
    }

    // Waits for the pointer to reach (x, y) by motion, skipping motion that
    // stops elsewhere on the way; false when it does not get there.
    bool moved_to(int x, int y) {
        while (const auto event = next_event(MotionNotify)) {
            if (event->xmotion.x_root == x && event->xmotion.y_root == y) return true;
        }
        return false;
    }

    std::pair<int, int> pointer() {
        Window root = 0;
        Window child = 0;
        int root_x = 0;
        int root_y = 0;
        int x = 0;
        int y = 0;
        unsigned mask = 0;
        XQueryPointer(observer_, DefaultRootWindow(observer_), &root, &child, &root_x, &root_y, &x,
                      &y, &mask);
        return {root_x, root_y};
    }

    unsigned keycode(std::uint32_t keysym) { return XKeysymToKeycode(observer_, KeySym{keysym}); }

    std::unique_ptr<Xvfb> xvfb_;
    Display* observer_ = nullptr;
    Window window_ = 0;
    std::unique_ptr<InputInjector> injector_;
};

TEST_F(InputInjectorTest, ScreenSizeIsTheDisplays) {
    const ScreenSize size = injector_->screen_size();
    EXPECT_EQ(size.width, kWidth);
    EXPECT_EQ(size.height, kHeight);
}

TEST_F(InputInjectorTest, MoveLandsOnTheClientsPixel) {
    for (const auto& [x, y] : {std::pair{1, 1}, {333, 777}, {640, 400}, {1279, 799}}) {
        injector_->mouse(512, x, y, 0);
        ASSERT_TRUE(moved_to(landing(x, kWidth), landing(y, kHeight))) << x << "," << y;
        EXPECT_EQ(pointer(), std::pair(x, y));
    }
}

TEST_F(InputInjectorTest, ButtonsPressWhereTheyAreSentAndReleaseWhereTheirUpIsSent) {
    struct Case {
        std::int32_t down;
        std::int32_t up;
        unsigned button;
    };
    const Case cases[] = {{513, 514, 1}, {516, 517, 3}, {519, 520, 2}, {161, 162, 1}};
    for (const auto& c : cases) {
        injector_->mouse(c.down, 100, 200, 0);
        const auto press = next_event(ButtonPress);
        ASSERT_TRUE(press) << "message " << c.down;
        EXPECT_EQ(press->xbutton.button, c.button);
        EXPECT_EQ(std::pair(press->xbutton.x_root, press->xbutton.y_root), std::pair(100, 200));

        injector_->mouse(c.up, 900, 50, 0);
        const auto release = next_event(ButtonRelease);
        ASSERT_TRUE(release) << "message " << c.up;
        EXPECT_EQ(release->xbutton.button, c.button);
        EXPECT_EQ(std::pair(release->xbutton.x_root, release->xbutton.y_root), std::pair(900, 50));
    }
}

TEST_F(InputInjectorTest, WheelClicksOncePerNotchInItsDirection) {
    struct Case {
        std::int32_t amount;
        unsigned button;
        int clicks;
    };
    for (const auto& c : {Case{-240, 5, 2}, Case{120, 4, 1}, Case{60, 4, 1}}) {
        injector_->mouse(522, 10, 10, c.amount);
        // A right click afterwards marks the end of what the wheel produced.
        injector_->mouse(516, 10, 10, 0);
        injector_->mouse(517, 10, 10, 0);
        int clicks = 0;
        while (const auto press = next_event(ButtonPress)) {
            if (press->xbutton.button == 3) break;
            EXPECT_EQ(press->xbutton.button, c.button) << "amount " << c.amount;
            ++clicks;
        }
        EXPECT_EQ(clicks, c.clicks) << "amount " << c.amount;
    }
}

TEST_F(InputInjectorTest, OffTheFarEdgeIsIgnoredAndNegativeStopsAtTheEdge) {
    injector_->mouse(512, 300, 300, 0);
    ASSERT_TRUE(moved_to(300, 300));

    injector_->mouse(513, kWidth, 10, 0);
    injector_->mouse(512, 10, kHeight, 0);
    injector_->mouse(512, 400, 400, 0);
    const auto motion = next_event(MotionNotify);
    ASSERT_TRUE(motion);
    EXPECT_EQ(std::pair(motion->xmotion.x_root, motion->xmotion.y_root), std::pair(400, 400))
        << "a position off the screen moved the pointer";

    injector_->mouse(512, -50, -7, 0);
    ASSERT_TRUE(moved_to(0, 0));

    // The ignored press never happened: the only press is the sentinel's.
    injector_->mouse(516, 5, 5, 0);
    const auto press = next_event(ButtonPress);
    ASSERT_TRUE(press);
    EXPECT_EQ(press->xbutton.button, 3u);
}

TEST_F(InputInjectorTest, KeysReachTheFocusedWindow) {
    struct Case {
        std::uint8_t vk;
        bool extended;
        std::uint32_t keysym;
    };
    const Case cases[] = {
        {0x41, false, XK_a},       {0x5A, false, XK_z},         {0x37, false, XK_7},
        {0x0D, false, XK_Return},  {0x0D, true, XK_KP_Enter},   {0x74, false, XK_F5},
        {0x25, true, XK_Left},     {0x67, false, XK_KP_7},      {0x11, true, XK_Control_R},
        {0xA0, false, XK_Shift_L}, {0xBA, false, XK_semicolon}, {0x1B, false, XK_Escape},
    };
    for (const auto& c : cases) {
        const unsigned expected = keycode(c.keysym);
        ASSERT_NE(expected, 0u) << "the test server has no key for keysym " << c.keysym;
        injector_->key({c.vk, 0, c.extended, false});
        injector_->key({c.vk, 0, c.extended, true});
        const auto press = next_event(KeyPress);
        ASSERT_TRUE(press) << "vk " << int(c.vk);
        EXPECT_EQ(press->xkey.keycode, expected) << "vk " << int(c.vk);
        EXPECT_EQ(press->xkey.window, window_);
        const auto release = next_event(KeyRelease);
        ASSERT_TRUE(release) << "vk " << int(c.vk);
        EXPECT_EQ(release->xkey.keycode, expected) << "vk " << int(c.vk);
    }
}

TEST_F(InputInjectorTest, AnUnmappedKeyIsIgnored) {
    injector_->key({0xFF, 0, false, false});
    injector_->key({0x07, 0, false, false});
    injector_->key({0x42, 0, false, false});
    injector_->key({0x42, 0, false, true});
    const auto press = next_event(KeyPress);
    ASSERT_TRUE(press);
    EXPECT_EQ(press->xkey.keycode, keycode(XK_b));
}

TEST_F(InputInjectorTest, AKeyboardLayoutChangeIsFollowed) {
    // F13 has no key on the test server until a free keycode is given it.
    ASSERT_EQ(keycode(XK_F13), 0u);
    int min_code = 0;
    int max_code = 0;
    XDisplayKeycodes(observer_, &min_code, &max_code);
    int per_code = 0;
    KeySym* map =
        XGetKeyboardMapping(observer_, KeyCode(min_code), max_code - min_code + 1, &per_code);
    int free_code = 0;
    for (int code = max_code; code >= min_code && free_code == 0; --code) {
        bool empty = true;
        for (int i = 0; i < per_code; ++i) empty &= map[(code - min_code) * per_code + i] == 0;
        if (empty) free_code = code;
    }
    XFree(map);
    ASSERT_NE(free_code, 0) << "the test server has no free keycode";

    // The injector reads the old layout before it changes.
    injector_->key({0x41, 0, false, false});
    injector_->key({0x41, 0, false, true});
    ASSERT_TRUE(next_event(KeyRelease));

    KeySym f13 = XK_F13;
    XChangeKeyboardMapping(observer_, free_code, 1, &f13, 1);
    XSync(observer_, False);

    // The change reaches the injector's connection on its own time: try
    // F13 until it arrives, each try closed by a 'b' to know it was ignored.
    bool arrived = false;
    for (int attempt = 0; attempt < 50 && !arrived; ++attempt) {
        injector_->key({0x7C, 0, false, false});
        injector_->key({0x7C, 0, false, true});
        injector_->key({0x42, 0, false, false});
        injector_->key({0x42, 0, false, true});
        const auto press = next_event(KeyPress);
        ASSERT_TRUE(press);
        arrived = press->xkey.keycode == unsigned(free_code);
        if (!arrived) {
            ASSERT_EQ(press->xkey.keycode, keycode(XK_b));
        }
        while (const auto release = next_event(KeyRelease)) {
            if (release->xkey.keycode == keycode(XK_b)) break;
        }
    }
    EXPECT_TRUE(arrived) << "F13 was never injected after its key was mapped";
}

TEST_F(InputInjectorTest, ALostDisplayStopsInjectionNotTheProcess) {
    ASSERT_TRUE(injector_->connected());
    XCloseDisplay(observer_);
    observer_ = nullptr;
    xvfb_->stop();
    // A key is written without reading first: the broken pipe shows up on
    // the write (and must not raise SIGPIPE).
    for (int i = 0; i < 3; ++i) {
        injector_->key({0x41, 0, false, false});
        injector_->mouse(513, 10, 10, 0);
        injector_->screen_size();
    }
    EXPECT_FALSE(injector_->connected());
}

TEST(InputInjectorOpen, WithoutADisplayThereIsNoInjector) {
    const char* saved = std::getenv("DISPLAY");
    const std::string restore = saved == nullptr ? "" : saved;
    ::unsetenv("DISPLAY");
    EXPECT_EQ(InputInjector::open_display(), nullptr);
    ::setenv("DISPLAY", "", 1);
    EXPECT_EQ(InputInjector::open_display(), nullptr);
    if (saved != nullptr) ::setenv("DISPLAY", restore.c_str(), 1);

    EXPECT_EQ(InputInjector::open_display(""), nullptr);
    // No X server listens on a socket under a folder that does not exist.
    EXPECT_EQ(InputInjector::open_display("/nonexistent/rkserver/x:0"), nullptr);
}

TEST(InputInjectorOpen, DisplayComesFromTheEnvironment) {
    if (!Xvfb::available()) {
        GTEST_SKIP() << Xvfb::kProgram << " is not installed (scripts/deps installs xvfb)";
    }
    Xvfb xvfb;
    ASSERT_FALSE(xvfb.display().empty()) << xvfb.error();
    const char* saved = std::getenv("DISPLAY");
    const std::string restore = saved == nullptr ? "" : saved;
    ::setenv("DISPLAY", xvfb.display().c_str(), 1);
    const auto injector = InputInjector::open_display();
    if (saved != nullptr) {
        ::setenv("DISPLAY", restore.c_str(), 1);
    } else {
        ::unsetenv("DISPLAY");
    }
    ASSERT_NE(injector, nullptr);
    EXPECT_EQ(injector->screen_size().width, kWidth);
}

}  // namespace
}  // namespace rk::platform
