#include "platform/input_mapping.h"

#include <X11/keysym.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

namespace rk::platform {
namespace {

using Kind = PointerAction::Kind;

constexpr ScreenSize kScreen{1920, 1080};
constexpr std::uint32_t kAbsMove = mouse_flag::kAbsolute | mouse_flag::kMove;

TEST(MouseFlag, EachMessageAddsItsFlag) {
    struct Case {
        std::int32_t message;
        std::uint32_t flag;
    };
    const Case cases[] = {
        {132, mouse_flag::kMove},
        {160, mouse_flag::kMove},
        {512, mouse_flag::kMove},
        {161, mouse_flag::kLeftDown},
        {513, mouse_flag::kLeftDown},
        {162, mouse_flag::kLeftUp},
        {514, mouse_flag::kLeftUp},
        {164, mouse_flag::kRightDown},
        {516, mouse_flag::kRightDown},
        {165, mouse_flag::kRightUp},
        {517, mouse_flag::kRightUp},
        {167, mouse_flag::kMiddleDown},
        {519, mouse_flag::kMiddleDown},
        {168, mouse_flag::kMiddleUp},
        {520, mouse_flag::kMiddleUp},
        {522, mouse_flag::kWheel},
        // Double clicks, the horizontal wheel and the rest add nothing.
        {515, 0},
        {163, 0},
        {526, 0},
        {0, 0},
        {-1, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(mouse_flag_for(c.message), c.flag) << "message " << c.message;
    }
}

TEST(MouseEvents, MoveIsOneEventOthersMoveFirst) {
    struct Case {
        std::int32_t message;
        std::int32_t wheel;
        std::vector<MouseEvent> events;
    };
    // 960 * 65536 / 1920 = 32768; 540 * 65536 / 1080 = 32768.
    const Case cases[] = {
        {512, 240, {{kAbsMove, 32768, 32768, 0}}},
        {160, 240, {{kAbsMove, 32768, 32768, 0}, {kAbsMove, 32768, 32768, 0}}},
        {513,
         240,
         {{kAbsMove, 32768, 32768, 0},
          {mouse_flag::kAbsolute | mouse_flag::kLeftDown, 32768, 32768, 0}}},
        {517,
         0,
         {{kAbsMove, 32768, 32768, 0},
          {mouse_flag::kAbsolute | mouse_flag::kRightUp, 32768, 32768, 0}}},
        {522,
         -240,
         {{kAbsMove, 32768, 32768, 0},
          {mouse_flag::kAbsolute | mouse_flag::kWheel, 32768, 32768, -240}}},
        {999, 240, {{kAbsMove, 32768, 32768, 0}, {mouse_flag::kAbsolute, 32768, 32768, 0}}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(mouse_events(c.message, 960, 540, c.wheel, kScreen), c.events)
            << "message " << c.message;
    }
}

TEST(MouseEvents, PositionsAtOrPastTheFarEdgeAreIgnored) {
    struct Case {
        std::int32_t x;
        std::int32_t y;
        bool accepted;
    };
    const Case cases[] = {
        {0, 0, true},
        {1919, 1079, true},
        {1920, 0, false},
        {0, 1080, false},
        {5000, 5000, false},
        // Beyond what x * 65536 holds in 32 bits: still refused, not wrapped
        // round to a position on the screen.
        {32768, 0, false},
        {std::numeric_limits<std::int32_t>::max(), 0, false},
        {-1, -1, true},
        {-100000, 0, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(!mouse_events(513, c.x, c.y, 0, kScreen).empty(), c.accepted)
            << "at " << c.x << "," << c.y;
    }
}

TEST(MouseEvents, NegativePositionsArePassedOnAsComputed) {
    const auto events = mouse_events(512, -1, -540, 0, kScreen);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].nx, -34);  // -65536 / 1920, truncated toward zero
    EXPECT_EQ(events[0].ny, -32768);
}

TEST(MouseEvents, AScreenWithoutSizeTakesNothing) {
    EXPECT_TRUE(mouse_events(512, 0, 0, 0, {0, 1080}).empty());
    EXPECT_TRUE(mouse_events(512, 0, 0, 0, {1920, 0}).empty());
}

TEST(ToPixel, ReturnsEveryPixelTheClientPointedAt) {
    for (const std::int32_t extent : {1, 7, 640, 1080, 1366, 1920, 2560, 3840, 32767}) {
        for (std::int32_t pixel = 0; pixel < extent; ++pixel) {
            const auto normalised = std::int32_t(normalise(pixel, extent));
            ASSERT_EQ(to_pixel(normalised, extent), pixel) << "extent " << extent;
        }
    }
}

TEST(ToPixel, ClampsToTheScreenForX) {
    EXPECT_EQ(to_pixel(-34, 1920), 0);
    EXPECT_EQ(to_pixel(std::numeric_limits<std::int32_t>::min(), 1920), 0);
    EXPECT_EQ(to_pixel(65535, 1920), 1919);
    EXPECT_EQ(to_pixel(70000, 1920), 1919);
}

TEST(PointerActions, ButtonsAndMoves) {
    struct Case {
        std::int32_t message;
        std::vector<PointerAction> actions;
    };
    const Case cases[] = {
        {512, {{Kind::move, 100, 200, 0}}},
        {513, {{Kind::move, 100, 200, 0}, {Kind::press, 0, 0, 1}}},
        {514, {{Kind::move, 100, 200, 0}, {Kind::release, 0, 0, 1}}},
        {516, {{Kind::move, 100, 200, 0}, {Kind::press, 0, 0, 3}}},
        {517, {{Kind::move, 100, 200, 0}, {Kind::release, 0, 0, 3}}},
        {519, {{Kind::move, 100, 200, 0}, {Kind::press, 0, 0, 2}}},
        {520, {{Kind::move, 100, 200, 0}, {Kind::release, 0, 0, 2}}},
        {515, {{Kind::move, 100, 200, 0}}},
    };
    for (const auto& c : cases) {
        std::vector<PointerAction> actions;
        for (const auto& event : mouse_events(c.message, 100, 200, 0, kScreen)) {
            for (const auto& action : pointer_actions(event, kScreen)) actions.push_back(action);
        }
        EXPECT_EQ(actions, c.actions) << "message " << c.message;
    }
}

TEST(PointerActions, WheelClicksPerNotch) {
    struct Case {
        std::int32_t wheel;
        unsigned button;
        std::int32_t clicks;
    };
    const Case cases[] = {
        {120, 4, 1},
        {240, 4, 2},
        {359, 4, 2},
        {30, 4, 1},
        {-120, 5, 1},
        {-480, 5, 4},
        {-1, 5, 1},
        {0, 0, 0},
        {std::numeric_limits<std::int32_t>::max(), 4, kMaxWheelClicks},
        {std::numeric_limits<std::int32_t>::min(), 5, kMaxWheelClicks},
    };
    for (const auto& c : cases) {
        const MouseEvent event{mouse_flag::kAbsolute | mouse_flag::kWheel, 0, 0, c.wheel};
        std::vector<PointerAction> expected;
        for (std::int32_t i = 0; i < c.clicks; ++i) {
            expected.push_back({Kind::press, 0, 0, c.button});
            expected.push_back({Kind::release, 0, 0, c.button});
        }
        EXPECT_EQ(pointer_actions(event, kScreen), expected) << "wheel " << c.wheel;
    }
}

TEST(PointerActions, AWheelAmountWithoutTheWheelFlagScrollsNothing) {
    const MouseEvent event{mouse_flag::kAbsolute | mouse_flag::kLeftDown, 0, 0, 240};
    EXPECT_EQ(pointer_actions(event, kScreen),
              (std::vector<PointerAction>{{Kind::press, 0, 0, 1}}));
}

TEST(KeyStroke, ReadsTheRequestBits) {
    struct Case {
        std::int32_t arg1;
        std::uint32_t arg2;
        KeyStroke stroke;
    };
    const Case cases[] = {
        {0x41, 0x00001E00, {0x41, 0x1E, false, false}},
        {0x0D, 0x00001C00, {0x0D, 0x1C, false, false}},
        {0x0D, 0x00001D00, {0x0D, 0x1D, true, false}},
        {0x41, 0x80001E00, {0x41, 0x1E, false, true}},
        {0x11, 0x80001D00, {0x11, 0x1D, true, true}},
        // Only the low byte of arg1 names the key; other arg2 bits mean nothing.
        {0x7FFFFF26, 0x7F0000FF, {0x26, 0x00, false, false}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(key_stroke(c.arg1, std::int32_t(c.arg2)), c.stroke)
            << std::hex << c.arg1 << " " << c.arg2;
    }
}

TEST(Keysym, RangesMapInOrder) {
    struct Range {
        int first_vk;
        int count;
        std::uint32_t first_keysym;
    };
    const Range ranges[] = {
        {0x41, 26, XK_a}, {0x30, 10, XK_0}, {0x70, 24, XK_F1}, {0x60, 10, XK_KP_0}};
    for (const auto& r : ranges) {
        for (int i = 0; i < r.count; ++i) {
            const auto vk = std::uint8_t(r.first_vk + i);
            EXPECT_EQ(keysym_for(vk, false), r.first_keysym + std::uint32_t(i))
                << "vk " << std::hex << int(vk);
        }
    }
}

TEST(Keysym, NamedKeys) {
    struct Case {
        std::uint8_t vk;
        bool extended;
        std::uint32_t keysym;
    };
    const Case cases[] = {
        {0x08, false, XK_BackSpace},    {0x09, false, XK_Tab},
        {0x0D, false, XK_Return},       {0x0D, true, XK_KP_Enter},
        {0x1B, false, XK_Escape},       {0x20, false, XK_space},
        {0x21, false, XK_Prior},        {0x22, false, XK_Next},
        {0x23, true, XK_End},           {0x24, true, XK_Home},
        {0x25, true, XK_Left},          {0x26, true, XK_Up},
        {0x27, false, XK_Right},        {0x28, false, XK_Down},
        {0x2D, true, XK_Insert},        {0x2E, true, XK_Delete},
        {0x13, false, XK_Pause},        {0x14, false, XK_Caps_Lock},
        {0x2C, false, XK_Print},        {0x91, false, XK_Scroll_Lock},
        {0x90, false, XK_Num_Lock},     {0x10, false, XK_Shift_L},
        {0xA0, false, XK_Shift_L},      {0xA1, false, XK_Shift_R},
        {0x11, false, XK_Control_L},    {0x11, true, XK_Control_R},
        {0xA2, false, XK_Control_L},    {0xA3, true, XK_Control_R},
        {0x12, false, XK_Alt_L},        {0x12, true, XK_Alt_R},
        {0xA4, false, XK_Alt_L},        {0xA5, true, XK_Alt_R},
        {0x5B, true, XK_Super_L},       {0x5C, true, XK_Super_R},
        {0x6A, false, XK_KP_Multiply},  {0x6B, false, XK_KP_Add},
        {0x6C, false, XK_KP_Separator}, {0x6D, false, XK_KP_Subtract},
        {0x6E, false, XK_KP_Decimal},   {0x6F, true, XK_KP_Divide},
        {0xBA, false, XK_semicolon},    {0xBB, false, XK_equal},
        {0xBC, false, XK_comma},        {0xBD, false, XK_minus},
        {0xBE, false, XK_period},       {0xBF, false, XK_slash},
        {0xC0, false, XK_grave},        {0xDB, false, XK_bracketleft},
        {0xDC, false, XK_backslash},    {0xDD, false, XK_bracketright},
        {0xDE, false, XK_apostrophe},   {0x41, true, XK_a},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(keysym_for(c.vk, c.extended), std::optional<std::uint32_t>(c.keysym))
            << "vk " << std::hex << int(c.vk) << (c.extended ? " extended" : "");
    }
}

TEST(Keysym, KeysWithoutAnXCounterpartAreNone) {
    // Mouse buttons, IME keys, reserved codes and keys outside the table.
    for (const std::uint8_t vk : {0x00, 0x01, 0x02, 0x07, 0x15, 0x19, 0x3A, 0x40, 0x5F, 0x88, 0xA6,
                                  0xB9, 0xC1, 0xDA, 0xDF, 0xE2, 0xFF}) {
        EXPECT_EQ(keysym_for(vk, false), std::nullopt) << "vk " << std::hex << int(vk);
        EXPECT_EQ(keysym_for(vk, true), std::nullopt) << "vk " << std::hex << int(vk);
    }
}

}  // namespace
}  // namespace rk::platform
