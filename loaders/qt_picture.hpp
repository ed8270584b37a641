// What the Qt plugin and the KDE thumbnailer share: the document's bytes read from a
// device within the documents' bound, and the picture client's picture as a QImage.
#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QImage>

#include <optional>

#include "loaders/picture_client.hpp"

namespace zub {

// The device's bytes from where it stands, or nothing when there are more than a
// document may have. Read in pieces: Qt 5 makes room for all a read may give before
// it reads.
std::optional<QByteArray> read_document(QIODevice& device);

// A QImage (RGB, 8 bits a channel) that owns the picture's pixels, or a null one.
QImage to_qimage(loader_picture&& picture);

inline bytes_view view_of(const QByteArray& bytes) {
    return {reinterpret_cast<const std::uint8_t*>(bytes.constData()), static_cast<std::size_t>(bytes.size())};
}

}  // namespace zub
