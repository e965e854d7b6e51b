// The arithmetic of remote input, apart from any display: a Windows client
// sends mouse messages in screen pixels and keys as virtual-key codes; this
// turns them into the absolute mouse events a Windows desktop would receive
// and into the pointer, button and keysym actions an X server understands.
//
// Pure functions of their arguments: safe to call from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace rk::platform {

struct ScreenSize {
    std::int32_t width = 0;
    std::int32_t height = 0;
};

// Flags of one absolute mouse event, as a Windows desktop takes them.
namespace mouse_flag {
inline constexpr std::uint32_t kMove = 0x0001;
inline constexpr std::uint32_t kLeftDown = 0x0002;
inline constexpr std::uint32_t kLeftUp = 0x0004;
inline constexpr std::uint32_t kRightDown = 0x0008;
inline constexpr std::uint32_t kRightUp = 0x0010;
inline constexpr std::uint32_t kMiddleDown = 0x0020;
inline constexpr std::uint32_t kMiddleUp = 0x0040;
inline constexpr std::uint32_t kWheel = 0x0800;
inline constexpr std::uint32_t kAbsolute = 0x8000;
}  // namespace mouse_flag

// Window message numbers the client sends for mouse input.
namespace mouse_message {
inline constexpr std::int32_t kMove = 512;
inline constexpr std::int32_t kWheel = 522;
}  // namespace mouse_message

// Coordinates normalised to 0..65535 across the screen, as absolute mouse
// events carry them.
inline constexpr std::int32_t kNormalisedExtent = 65536;

// One absolute mouse event.
struct MouseEvent {
    std::uint32_t flags = 0;
    std::int32_t nx = 0;
    std::int32_t ny = 0;
    std::int32_t wheel = 0;
    friend bool operator==(const MouseEvent&, const MouseEvent&) = default;
};

// The flag a mouse message adds to kAbsolute; 0 for a message with no action.
std::uint32_t mouse_flag_for(std::int32_t message);

// The events one mouse request becomes: a move to the position first unless
// the message is itself a move, then the message's own event (the wheel
// amount only for the wheel message). Empty when the position lies at or
// beyond the right or bottom edge, or the screen has no size. Positions left
// of or above the screen stay negative.
std::vector<MouseEvent> mouse_events(std::int32_t message, std::int32_t x, std::int32_t y,
                                     std::int32_t wheel, ScreenSize screen);

// pixel * 65536 / extent, truncated toward zero. Computed in 64 bits so that
// a position too far out for 32 bits is still refused (or kept negative)
// instead of wrapping round onto the screen.
std::int64_t normalise(std::int32_t pixel, std::int32_t extent);

// The pixel whose normalise() gives `normalised` (the exact inverse for every
// pixel of a screen narrower than 65536), clamped to 0..extent-1 because X
// carries pointer positions in 16 bits.
std::int32_t to_pixel(std::int32_t normalised, std::int32_t extent);

// What X is asked to do. Buttons: 1 left, 2 middle, 3 right, 4 wheel up,
// 5 wheel down.
struct PointerAction {
    enum class Kind { move, press, release };
    Kind kind = Kind::move;
    std::int32_t x = 0;  // pixels, for a move
    std::int32_t y = 0;
    unsigned button = 0;  // for a press or release
    friend bool operator==(const PointerAction&, const PointerAction&) = default;
};

// Wheel clicks never exceed this per event, so one packet cannot flood the
// X server with millions of button events.
inline constexpr std::int32_t kMaxWheelClicks = 100;

// One X action list for one mouse event: the move first, then the buttons in
// the order of their flag bits; a wheel amount becomes one click of button 4
// (positive) or 5 (negative) per 120 units, at least one when not zero.
std::vector<PointerAction> pointer_actions(const MouseEvent& event, ScreenSize screen);

// A key event from the client: virtual-key code, scan code, whether the
// extended-key bit was set, and press or release.
struct KeyStroke {
    std::uint8_t virtual_key = 0;
    std::uint8_t scan_code = 0;
    bool extended = false;
    bool release = false;
    friend bool operator==(const KeyStroke&, const KeyStroke&) = default;
};

// Reads a keyboard request: the virtual key in the low byte of arg1; in arg2
// the scan code in bits 8-15, bit 8 the extended flag, bit 31 the release.
KeyStroke key_stroke(std::int32_t arg1, std::int32_t arg2);

// The X keysym for a virtual-key code on a US layout; the extended flag picks
// the right-hand modifiers and the keypad's Enter. nullopt for a key with no
// X counterpart here.
std::optional<std::uint32_t> keysym_for(std::uint8_t virtual_key, bool extended);

}  // namespace rk::platform
