#include "loaders/qt_plugin.hpp"

#include <QFile>
#include <QFileInfo>

#include <exception>
#include <string>

#include "document/document.hpp"
#include "loaders/picture_client.hpp"
#include "loaders/qt_picture.hpp"

#ifndef ZUB_PROGRAM_FROM_LOADER
#error "ZUB_PROGRAM_FROM_LOADER names where zub is from the installed plugin"
#endif

namespace {

bool starts_a_document(QIODevice* device) { return device != nullptr && device->peek(3) == "ZUB"; }

// The picture's size from the header, left unread for read().
zub::result<zub::loader_size> size_of(QIODevice* device) {
    if (device == nullptr) return zub::failure{"no device"};
    return zub::picture_size_of(zub::view_of(device->peek(static_cast<qint64>(zub::header_size))));
}

// The picture, or why there is none.
zub::result<QImage> read_picture(QIODevice& from, QSize scaled) {
    const std::optional<QByteArray> bytes = zub::read_document(from);
    if (!bytes) return zub::failure{"the file is larger than a document may be"};
    zub::picture_order order;
    order.program_from_loader = ZUB_PROGRAM_FROM_LOADER;
    if (const auto* file = qobject_cast<QFile*>(&from); file != nullptr && !file->fileName().isEmpty())
        order.document_path = QFile::encodeName(QFileInfo(file->fileName()).absoluteFilePath()).toStdString();
    // A scaled size that keeps the proportions is composed as zub render --size makes a
    // thumbnail; another is the whole picture scaled by Qt.
    bool scale_here = false;
    if (!scaled.isEmpty()) {
        if (const zub::result<zub::loader_size> whole = zub::picture_size_of(zub::view_of(*bytes)); whole) {
            order.box = zub::thumbnail_box(*whole, {scaled.width(), scaled.height()});
            scale_here = order.box == 0;
        }
    }
    zub::result<zub::loader_picture> picture = zub::compose_picture(zub::view_of(*bytes), order);
    if (!picture) return zub::failure{picture.why()};
    QImage composed = zub::to_qimage(std::move(*picture));
    if (composed.isNull()) return zub::failure{"not enough memory for the picture"};
    if (scale_here) composed = composed.scaled(scaled, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return composed;
}

}  // namespace

bool ZubImageHandler::canRead() const {
    if (!starts_a_document(device())) return false;
    setFormat("zub");
    return true;
}

bool ZubImageHandler::read(QImage* image) {
    if (device() == nullptr || image == nullptr) return false;
    try {
        zub::result<QImage> picture = read_picture(*device(), scaled_);
        if (!picture) {
            qWarning("zub: %s", picture.why().c_str());
            return false;
        }
        *image = *picture;
        return true;
    } catch (const std::exception& e) {  // out of memory, in all likelihood
        qWarning("zub: %s", e.what());
        return false;
    }
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
