#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tapsound::platform {

// The virtual key code of the physical key with this Linux kernel key code (KEY_*); X11 key codes
// are kernel codes + 8. Nothing for keys that have no virtual key code.
std::optional<std::uint16_t> virtualKeyCodeForKernelKey(unsigned kernelKeyCode);

// The Linux kernel key code of a PC set-1 scancode as keyboard-hook libraries number them (the key
// codes of config.json sound packs): 1-88 as they are, 91-93 and 99-107 for F13-F24, and extended
// keys at 0x0E00 and above told by their low byte. Nothing for other codes.
std::optional<unsigned> kernelKeyForScancode(unsigned scancode);

// The key names of other keyboard-sound programs' packs: the browser's KeyboardEvent.code
// ("KeyA", "BracketLeft"), keyboardsounds ("a", "shift_l"), Thock ("shiftLeft", "command") and
// KeyEcho ("KeyA", "SemiColon", "Num1"); and mouse buttons where a pack lists them apart ("left").
enum class KeyNaming { KeyboardEventCode, KeyboardSounds, Thock, KeyEcho, Buttons };

// The Linux kernel code a pack's key or button name stands for (KEY_*, or BTN_* for the mouse),
// matched regardless of case. Nothing for a name we cannot place.
std::optional<unsigned> kernelCodeForKeyName(std::string_view name, KeyNaming naming);

inline constexpr std::uint16_t kVK_Return = 36;
inline constexpr std::uint16_t kVK_Tab = 48;
inline constexpr std::uint16_t kVK_Space = 49;
inline constexpr std::uint16_t kVK_Delete = 51;
inline constexpr std::uint16_t kVK_Escape = 53;
inline constexpr std::uint16_t kVK_RightCommand = 54;
inline constexpr std::uint16_t kVK_Command = 55;
inline constexpr std::uint16_t kVK_Shift = 56;
inline constexpr std::uint16_t kVK_CapsLock = 57;
inline constexpr std::uint16_t kVK_Option = 58;
inline constexpr std::uint16_t kVK_Control = 59;
inline constexpr std::uint16_t kVK_RightShift = 60;
inline constexpr std::uint16_t kVK_RightOption = 61;
inline constexpr std::uint16_t kVK_RightControl = 62;
inline constexpr std::uint16_t kVK_Function = 63;

}  // namespace tapsound::platform
