// The picture client's picture as a QImage, for the Qt plugin and the KDE thumbnailer.
#pragma once

#include <QImage>

#include <cstring>

#include "loaders/picture_client.hpp"

namespace zub {

// A QImage of its own (RGB, 8 bits a channel), or a null one when there is no memory.
inline QImage to_qimage(const loader_picture& picture) {
    QImage image(picture.width, picture.height, QImage::Format_RGB888);
    if (image.isNull()) return image;
    const auto row = static_cast<std::size_t>(picture.width) * 3;
    for (int y = 0; y < picture.height; ++y)
        std::memcpy(image.scanLine(y), picture.rgb.data() + static_cast<std::size_t>(y) * row, row);
    return image;
}

}  // namespace zub
