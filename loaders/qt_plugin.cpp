#include "loaders/qt_plugin.hpp"

#include <QFile>
#include <QFileInfo>

#include <algorithm>

#include <string>
#include <vector>

#include "document/document.hpp"
#include "document/limits.hpp"
#include "loaders/picture_client.hpp"
#include "loaders/qt_picture.hpp"
#include "tools/scale.hpp"

#ifndef ZUB_PROGRAM_FROM_LOADER
#define ZUB_PROGRAM_FROM_LOADER "../../../../../bin"
#endif

namespace {

bool starts_a_document(QIODevice* device) { return device != nullptr && device->peek(3) == "ZUB"; }

// The header's bytes, left unread for read().
zub::result<zub::loader_size> size_of(QIODevice* device) {
    if (device == nullptr) return zub::failure{"no device"};
    const QByteArray header = device->peek(static_cast<qint64>(zub::header_size));
    return zub::picture_size_of(zub::bytes_view(reinterpret_cast<const std::uint8_t*>(header.constData()),
                                                static_cast<std::size_t>(header.size())));
}

}  // namespace

bool ZubImageHandler::canRead() const {
    if (!starts_a_document(device())) return false;
    setFormat("zub");
    return true;
}

bool ZubImageHandler::read(QImage* image) {
    QIODevice* from = device();
    if (from == nullptr) return false;
    // At most a document's bound, and one byte more to tell a larger file.
    const QByteArray bytes = from->read(static_cast<qint64>(zub::max_document_bytes) + 1);
    zub::picture_order order;
    order.program_from_loader = ZUB_PROGRAM_FROM_LOADER;
    if (const auto* file = qobject_cast<QFile*>(from); file != nullptr && !file->fileName().isEmpty())
        order.document_path = QFileInfo(file->fileName()).absoluteFilePath().toStdString();
    const zub::bytes_view view(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                               static_cast<std::size_t>(bytes.size()));
    // A scaled size that keeps the proportions is composed as zub render --size makes a
    // thumbnail; another is the whole picture scaled by Qt.
    bool scale_here = false;
    if (scaled_.isValid()) {
        const zub::result<zub::loader_size> whole = zub::picture_size_of(view);
        if (whole) {
            const int box = std::max(scaled_.width(), scaled_.height());
            const zub::picture_size fitted = zub::fit_within(whole->width, whole->height, box);
            if (box < std::max(whole->width, whole->height) && fitted.width == scaled_.width() &&
                fitted.height == scaled_.height()) {
                order.box = box;
            } else {
                scale_here = true;
            }
        }
    }
    const zub::result<zub::loader_picture> picture = zub::compose_picture(view, order);
    if (!picture) {
        qWarning("zub: %s: %s", order.document_path.empty() ? "-" : order.document_path.c_str(),
                 picture.why().c_str());
        return false;
    }
    const QImage composed = zub::to_qimage(*picture);
    if (composed.isNull()) return false;
    *image =
        scale_here ? composed.scaled(scaled_, Qt::IgnoreAspectRatio, Qt::SmoothTransformation) : composed;
    return true;
}

QVariant ZubImageHandler::option(ImageOption option) const {
    if (option == Size) {
        const zub::result<zub::loader_size> size = size_of(device());
        if (size) return QSize(size->width, size->height);
    }
    if (option == ScaledSize) return scaled_;
    return {};
}

void ZubImageHandler::setOption(ImageOption option, const QVariant& value) {
    if (option == ScaledSize) scaled_ = value.toSize();
}

bool ZubImageHandler::supportsOption(ImageOption option) const {
    return option == Size || option == ScaledSize;
}

QImageIOPlugin::Capabilities ZubImagePlugin::capabilities(QIODevice* device, const QByteArray& format) const {
    if (format == "zub") return CanRead;
    if (!format.isEmpty()) return {};
    return starts_a_document(device) ? Capabilities(CanRead) : Capabilities();
}

QImageIOHandler* ZubImagePlugin::create(QIODevice* device, const QByteArray& format) const {
    auto* handler = new ZubImageHandler;
    handler->setDevice(device);
    handler->setFormat(format.isEmpty() ? QByteArray("zub") : format);
    return handler;
}
