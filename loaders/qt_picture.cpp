#include "loaders/qt_picture.hpp"

#include <array>

#include "document/limits.hpp"

namespace zub {

std::optional<QByteArray> read_document(QIODevice& device) {
    constexpr auto most = static_cast<qint64>(max_document_bytes);
    if (!device.isSequential() && device.size() - device.pos() > most) return std::nullopt;
    QByteArray bytes;
    std::array<char, 1U << 16U> chunk{};
    while (true) {
        const qint64 n = device.read(chunk.data(), static_cast<qint64>(chunk.size()));
        if (n < 0) break;
        if (n == 0) {
            // A stream (a socket, a process) may have more on its way.
            if (device.isSequential() && device.waitForReadyRead(1000)) continue;
            break;
        }
        if (bytes.size() + n > most) return std::nullopt;
        bytes.append(chunk.data(), static_cast<int>(n));
    }
    return bytes;
}

QImage to_qimage(loader_picture&& picture) {
    const int width = picture.width;
    const int height = picture.height;
    std::vector<std::uint8_t>* pixels = pixels_to_hand_over(std::move(picture));
    QImage image(pixels->data(), width, height, width * 3, QImage::Format_RGB888, release_handed_pixels,
                 pixels);
    if (image.isNull()) release_handed_pixels(pixels);
    return image;
}

}  // namespace zub
