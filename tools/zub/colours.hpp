// Colours as people write them in a texts file: #rrggbb, #rgb or a CSS colour name.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace zub {

struct colour {
    std::uint8_t red = 0;
    std::uint8_t green = 0;
    std::uint8_t blue = 0;
};

// "#rrggbb", "#rgb" (each digit doubled) or one of CSS's colour names, in any case.
std::optional<colour> colour_of(std::string_view written);

}  // namespace zub
