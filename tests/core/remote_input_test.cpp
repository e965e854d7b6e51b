// Mouse and keyboard requests reaching a real X display (a private Xvfb).
// GoogleTest first: Xlib's macros would break its headers.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <chrono>
#include <thread>

#include "accounts/account_file.h"
#include "client/connection.h"
#include "core/server.h"
#include "platform/input.h"
#include "testing/temp_dir.h"
#include "testing/xvfb.h"
#include "wire/codes.h"
#include "wire/payload.h"

namespace rk::core {
namespace {

using namespace std::chrono_literals;

TEST(RemoteInput, MouseRequestsMoveThePointerOfTheServersDisplay) {
    if (!platform::testing::Xvfb::available()) GTEST_SKIP() << "Xvfb is not installed";
    platform::testing::Xvfb xvfb;
    ASSERT_FALSE(xvfb.display().empty()) << xvfb.error();

    platform::testing::TempDir home;
    accounts::AccountImage image;
    image.accounts = {{"alice", "pw", false}};
    const auto file = accounts::encode_account_file(image);
    home.write_file("rkServer.cfg", std::string(file.bytes.begin(), file.bytes.end()));
    support::ManualTickSource ticks;
    Server server(
        {.home = home.path(),
         .port = 0,
         .address = "127.0.0.1",
         .ticks = &ticks,
         .open_input = [&] { return platform::InputInjector::open_display(xvfb.display()); }});
    server.open();
    ASSERT_FALSE(server.start_service());
    std::error_code ec;
    auto conn = client::Connection::connect("127.0.0.1", server.endpoint()->port(), ec);
    ASSERT_TRUE(conn);

    wire::PayloadWriter position;
    position.i32(321);
    position.i32(123);
    // Before logon the request is ignored.
    ASSERT_TRUE(conn->request(wire::Kind::request, std::uint8_t(wire::Request::mouse_input),
                              {512, 0, 0, 0}, position.data()));
    ASSERT_EQ(conn->logon("alice", "pw").status, client::Logon::accepted);
    Display* observer = XOpenDisplay(xvfb.display().c_str());
    ASSERT_NE(observer, nullptr);
    auto pointer = [&] {
        Window root, child;
        int x = -1, y = -1, wx, wy;
        unsigned mask;
        XQueryPointer(observer, DefaultRootWindow(observer), &root, &child, &x, &y, &wx, &wy,
                      &mask);
        return std::pair(x, y);
    };
    EXPECT_NE(pointer(), std::pair(321, 123)) << "a request before logon must not move the pointer";

    ASSERT_TRUE(conn->request(wire::Kind::request, std::uint8_t(wire::Request::mouse_input),
                              {512, 0, 0, 0}, position.data()));
    ASSERT_TRUE(conn->request(wire::Kind::request, 99));  // the move has been sent to X
    // The X server takes the injected move in its own time; the observer's
    // query may be answered first, so it looks again for a while.
    const auto give_up = std::chrono::steady_clock::now() + 2s;
    while (pointer() != std::pair(321, 123) && std::chrono::steady_clock::now() < give_up)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(pointer(), std::pair(321, 123));
    EXPECT_FALSE(conn->receive(300ms)) << "input requests are never answered";
    XCloseDisplay(observer);
}

}  // namespace
}  // namespace rk::core
