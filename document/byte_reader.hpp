// Bounds-checked reads from a byte buffer held in memory.
//
// Every read takes the buffer and a 64-bit offset and either returns the value or
// nothing: a read that does not fit wholly inside the buffer reads no byte at all.
// The sums are done in 64-bit unsigned arithmetic, so a length of up to 2^32-1 added
// to an offset of the same order can never wrap around.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace zub {

using bytes_view = std::span<const std::uint8_t>;

// True when `length` bytes starting at `offset` lie inside `bytes`.
constexpr bool fits(bytes_view bytes, std::uint64_t offset, std::uint64_t length) {
    const std::uint64_t size = bytes.size();
    return offset <= size && length <= size - offset;
}

// The `length` bytes at `offset`, or nothing when they run past the end.
constexpr std::optional<bytes_view> read_bytes(bytes_view bytes, std::uint64_t offset, std::uint64_t length) {
    if (!fits(bytes, offset, length)) return std::nullopt;
    return bytes.subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(length));
}

constexpr std::optional<std::uint8_t> read_u8(bytes_view bytes, std::uint64_t offset) {
    if (!fits(bytes, offset, 1)) return std::nullopt;
    return bytes[static_cast<std::size_t>(offset)];
}

// A 4-byte little-endian value at any offset, assembled byte by byte.
constexpr std::optional<std::uint32_t> read_u32le(bytes_view bytes, std::uint64_t offset) {
    if (!fits(bytes, offset, 4)) return std::nullopt;
    const auto at = static_cast<std::size_t>(offset);
    return static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8U |
           static_cast<std::uint32_t>(bytes[at + 2]) << 16U |
           static_cast<std::uint32_t>(bytes[at + 3]) << 24U;
}

// A 2-byte little-endian value at any offset.
constexpr std::optional<std::uint16_t> read_u16le(bytes_view bytes, std::uint64_t offset) {
    if (!fits(bytes, offset, 2)) return std::nullopt;
    const auto at = static_cast<std::size_t>(offset);
    return static_cast<std::uint16_t>(bytes[at] | bytes[at + 1] << 8U);
}

// Big-endian values, as image files store them.
constexpr std::optional<std::uint16_t> read_u16be(bytes_view bytes, std::uint64_t offset) {
    if (!fits(bytes, offset, 2)) return std::nullopt;
    const auto at = static_cast<std::size_t>(offset);
    return static_cast<std::uint16_t>(bytes[at] << 8U | bytes[at + 1]);
}

constexpr std::optional<std::uint32_t> read_u32be(bytes_view bytes, std::uint64_t offset) {
    if (!fits(bytes, offset, 4)) return std::nullopt;
    const auto at = static_cast<std::size_t>(offset);
    return static_cast<std::uint32_t>(bytes[at]) << 24U | static_cast<std::uint32_t>(bytes[at + 1]) << 16U |
           static_cast<std::uint32_t>(bytes[at + 2]) << 8U | static_cast<std::uint32_t>(bytes[at + 3]);
}

// The same four bytes taken as a two's-complement signed value.
constexpr std::optional<std::int32_t> read_i32le(bytes_view bytes, std::uint64_t offset) {
    const auto value = read_u32le(bytes, offset);
    if (!value) return std::nullopt;
    return static_cast<std::int32_t>(*value);
}

// The low 16 bits of a 4-byte little-endian slot, taken as a signed value; the upper
// two bytes of the slot are not looked at.
constexpr std::optional<std::int16_t> read_i16le(bytes_view bytes, std::uint64_t offset) {
    const auto low = read_u16le(bytes, offset);
    if (!low) return std::nullopt;
    return static_cast<std::int16_t>(*low);
}

}  // namespace zub
