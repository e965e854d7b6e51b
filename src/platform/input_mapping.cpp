#include "platform/input_mapping.h"

// Only the keysym numbers: no Xlib types or macros reach this file.
#include <X11/keysym.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <limits>

namespace rk::platform {

std::uint32_t mouse_flag_for(std::int32_t message) {
    switch (message) {
        case 132:
        case 160:
        case 512:
            return mouse_flag::kMove;
        case 161:
        case 513:
            return mouse_flag::kLeftDown;
        case 162:
        case 514:
            return mouse_flag::kLeftUp;
        case 164:
        case 516:
            return mouse_flag::kRightDown;
        case 165:
        case 517:
            return mouse_flag::kRightUp;
        case 167:
        case 519:
            return mouse_flag::kMiddleDown;
        case 168:
        case 520:
            return mouse_flag::kMiddleUp;
        case 522:
            return mouse_flag::kWheel;
        default:
            return 0;
    }
}

std::int64_t normalise(std::int32_t pixel, std::int32_t extent) {
    return std::int64_t{pixel} * kNormalisedExtent / extent;
}

std::vector<MouseEvent> mouse_events(std::int32_t message, std::int32_t x, std::int32_t y,
                                     std::int32_t wheel, ScreenSize screen) {
    if (screen.width <= 0 || screen.height <= 0) return {};
    const std::int64_t nx = normalise(x, screen.width);
    const std::int64_t ny = normalise(y, screen.height);
    if (nx >= kNormalisedExtent || ny >= kNormalisedExtent) return {};
    // Only far-negative positions on a tiny screen can leave 32 bits; the
    // pointer ends at the left or top edge either way.
    constexpr std::int64_t kLowest = std::numeric_limits<std::int32_t>::min();
    const auto at_x = std::int32_t(std::max(nx, kLowest));
    const auto at_y = std::int32_t(std::max(ny, kLowest));

    std::vector<MouseEvent> events;
    if (message != mouse_message::kMove) {
        events.push_back({mouse_flag::kAbsolute | mouse_flag::kMove, at_x, at_y, 0});
    }
    events.push_back({mouse_flag::kAbsolute | mouse_flag_for(message), at_x, at_y,
                      message == mouse_message::kWheel ? wheel : 0});
    return events;
}

std::int32_t to_pixel(std::int32_t normalised, std::int32_t extent) {
    if (extent <= 0) return 0;
    // normalise() truncates toward zero, so its inverse rounds away from zero:
    // rounding down as well would land one pixel short of where the client
    // pointed for most positions.
    const std::int64_t scaled = std::int64_t{normalised} * extent;
    const std::int64_t magnitude = (std::llabs(scaled) + kNormalisedExtent - 1) / kNormalisedExtent;
    const std::int64_t pixel = scaled < 0 ? -magnitude : magnitude;
    return std::int32_t(std::clamp<std::int64_t>(pixel, 0, extent - 1));
}

std::vector<PointerAction> pointer_actions(const MouseEvent& event, ScreenSize screen) {
    using Kind = PointerAction::Kind;
    std::vector<PointerAction> actions;
    if (event.flags & mouse_flag::kMove) {
        actions.push_back(
            {Kind::move, to_pixel(event.nx, screen.width), to_pixel(event.ny, screen.height), 0});
    }
    struct ButtonFlag {
        std::uint32_t flag;
        Kind kind;
        unsigned button;
    };
    static constexpr ButtonFlag kButtons[] = {
        {mouse_flag::kLeftDown, Kind::press, 1},   {mouse_flag::kLeftUp, Kind::release, 1},
        {mouse_flag::kRightDown, Kind::press, 3},  {mouse_flag::kRightUp, Kind::release, 3},
        {mouse_flag::kMiddleDown, Kind::press, 2}, {mouse_flag::kMiddleUp, Kind::release, 2},
    };
    for (const auto& b : kButtons) {
        if (event.flags & b.flag) actions.push_back({b.kind, 0, 0, b.button});
    }
    if ((event.flags & mouse_flag::kWheel) && event.wheel != 0) {
        constexpr std::int64_t kUnitsPerClick = 120;
        const std::int64_t units = std::llabs(std::int64_t{event.wheel});
        const std::int64_t clicks =
            std::clamp<std::int64_t>(units / kUnitsPerClick, 1, kMaxWheelClicks);
        const unsigned button = event.wheel > 0 ? 4 : 5;
        for (std::int64_t i = 0; i < clicks; ++i) {
            actions.push_back({Kind::press, 0, 0, button});
            actions.push_back({Kind::release, 0, 0, button});
        }
    }
    return actions;
}

KeyStroke key_stroke(std::int32_t arg1, std::int32_t arg2) {
    const auto bits = std::uint32_t(arg2);
    return {std::uint8_t(std::uint32_t(arg1) & 0xFF), std::uint8_t((bits >> 8) & 0xFF),
            (bits & (1u << 8)) != 0, (bits & (1u << 31)) != 0};
}

namespace {

struct Keysyms {
    std::uint32_t plain = 0;
    std::uint32_t extended = 0;
};

constexpr std::array<Keysyms, 256> build_key_table() {
    std::array<Keysyms, 256> table{};
    const auto set = [&table](int vk, std::uint32_t plain, std::uint32_t extended = 0) {
        table[std::size_t(vk)] = {plain, extended != 0 ? extended : plain};
    };
    // Windows names letter keys by their capital; X sends the unshifted
    // keysym and leaves the case to the shift key the client also sends.
    for (int i = 0; i < 26; ++i) set(0x41 + i, XK_a + std::uint32_t(i));
    for (int i = 0; i < 10; ++i) set(0x30 + i, XK_0 + std::uint32_t(i));
    for (int i = 0; i < 24; ++i) set(0x70 + i, XK_F1 + std::uint32_t(i));
    for (int i = 0; i < 10; ++i) set(0x60 + i, XK_KP_0 + std::uint32_t(i));

    set(0x08, XK_BackSpace);
    set(0x09, XK_Tab);
    set(0x0C, XK_Clear);
    set(0x0D, XK_Return, XK_KP_Enter);
    set(0x10, XK_Shift_L);
    set(0x11, XK_Control_L, XK_Control_R);
    set(0x12, XK_Alt_L, XK_Alt_R);
    set(0x13, XK_Pause);
    set(0x14, XK_Caps_Lock);
    set(0x1B, XK_Escape);
    set(0x20, XK_space);
    set(0x21, XK_Prior);
    set(0x22, XK_Next);
    set(0x23, XK_End);
    set(0x24, XK_Home);
    set(0x25, XK_Left);
    set(0x26, XK_Up);
    set(0x27, XK_Right);
    set(0x28, XK_Down);
    set(0x2C, XK_Print);
    set(0x2D, XK_Insert);
    set(0x2E, XK_Delete);
    set(0x5B, XK_Super_L);
    set(0x5C, XK_Super_R);
    set(0x5D, XK_Menu);
    set(0x6A, XK_KP_Multiply);
    set(0x6B, XK_KP_Add);
    set(0x6C, XK_KP_Separator);
    set(0x6D, XK_KP_Subtract);
    set(0x6E, XK_KP_Decimal);
    set(0x6F, XK_KP_Divide);
    set(0x90, XK_Num_Lock);
    set(0x91, XK_Scroll_Lock);
    set(0xA0, XK_Shift_L);
    set(0xA1, XK_Shift_R);
    set(0xA2, XK_Control_L);
    set(0xA3, XK_Control_R);
    set(0xA4, XK_Alt_L);
    set(0xA5, XK_Alt_R);
    // The punctuation keys are named by position on a US keyboard.
    set(0xBA, XK_semicolon);
    set(0xBB, XK_equal);
    set(0xBC, XK_comma);
    set(0xBD, XK_minus);
    set(0xBE, XK_period);
    set(0xBF, XK_slash);
    set(0xC0, XK_grave);
    set(0xDB, XK_bracketleft);
    set(0xDC, XK_backslash);
    set(0xDD, XK_bracketright);
    set(0xDE, XK_apostrophe);
    return table;
}

constexpr std::array<Keysyms, 256> kKeyTable = build_key_table();

}  // namespace

std::optional<std::uint32_t> keysym_for(std::uint8_t virtual_key, bool extended) {
    const Keysyms& entry = kKeyTable[virtual_key];
    const std::uint32_t keysym = extended ? entry.extended : entry.plain;
    if (keysym == 0) return std::nullopt;
    return keysym;
}

}  // namespace rk::platform
