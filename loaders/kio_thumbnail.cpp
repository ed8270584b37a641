// The KDE thumbnailer: Dolphin's previews, and every program that asks KIO::PreviewJob
// for one, show a document's picture. KDE's thumbnailer for pictures is registered for
// image/* only, and KDE Frameworks 5 run no thumbnailer entries, so a document needs a
// plugin of its own. KIO asks for a class of its own to derive from; the work is the
// picture client's, as for the other loaders.
#include <KIO/ThumbnailCreator>
#include <KPluginFactory>
#include <QFile>

#include <algorithm>
#include <exception>
#include <optional>

#include "loaders/picture_client.hpp"
#include "loaders/qt_picture.hpp"

#ifndef ZUB_PROGRAM_FROM_LOADER
#error "ZUB_PROGRAM_FROM_LOADER names where zub is from the installed plugin"
#endif

class ZubThumbnailCreator : public KIO::ThumbnailCreator {
    Q_OBJECT

public:
    ZubThumbnailCreator(QObject* parent, const QVariantList& arguments)
        : KIO::ThumbnailCreator(parent, arguments) {}

    // The thumbnail zub render --size makes of the file, within the size asked for, with
    // Consola.ttf beside the document.
    KIO::ThumbnailResult create(const KIO::ThumbnailRequest& request) override {
        try {
            const QString path = request.url().toLocalFile();
            QFile file(path);
            if (path.isEmpty() || !file.open(QIODevice::ReadOnly)) return KIO::ThumbnailResult::fail();
            const std::optional<QByteArray> bytes = zub::read_document(file);
            if (!bytes) return KIO::ThumbnailResult::fail();
            zub::picture_order order;
            order.document_path = QFile::encodeName(path).toStdString();
            order.box = std::max(1, std::max(request.targetSize().width(), request.targetSize().height()));
            order.program_from_loader = ZUB_PROGRAM_FROM_LOADER;
            zub::result<zub::loader_picture> picture = zub::compose_picture(zub::view_of(*bytes), order);
            if (!picture) return KIO::ThumbnailResult::fail();
            const QImage image = zub::to_qimage(std::move(*picture));
            return image.isNull() ? KIO::ThumbnailResult::fail() : KIO::ThumbnailResult::pass(image);
        } catch (const std::exception&) {  // out of memory, in all likelihood
            return KIO::ThumbnailResult::fail();
        }
    }
};

K_PLUGIN_CLASS_WITH_JSON(ZubThumbnailCreator, "kio_thumbnail.json")

#include "kio_thumbnail.moc"
