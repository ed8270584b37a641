// The KDE thumbnailer: Dolphin's previews, and every program that asks KIO::PreviewJob
// for one, show a document's picture. KDE's thumbnailer for pictures is registered for
// image/* only, and KDE Frameworks 5 run no thumbnailer entries, so a document needs a
// plugin of its own. KIO asks for a class of its own to derive from; the work is the
// picture client's, as for the other loaders.
#include <KIO/ThumbnailCreator>
#include <KPluginFactory>
#include <QFile>

#include <algorithm>
#include <vector>

#include "document/limits.hpp"
#include "loaders/picture_client.hpp"
#include "loaders/qt_picture.hpp"

#ifndef ZUB_PROGRAM_FROM_LOADER
#define ZUB_PROGRAM_FROM_LOADER "../../../../../../bin"
#endif

class ZubThumbnailCreator : public KIO::ThumbnailCreator {
    Q_OBJECT

public:
    ZubThumbnailCreator(QObject* parent, const QVariantList& arguments)
        : KIO::ThumbnailCreator(parent, arguments) {}

    // The thumbnail zub render --size makes of the file, within the size asked for, with
    // Consola.ttf beside the document.
    KIO::ThumbnailResult create(const KIO::ThumbnailRequest& request) override {
        const QString path = request.url().toLocalFile();
        QFile file(path);
        if (path.isEmpty() || !file.open(QIODevice::ReadOnly) ||
            file.size() > static_cast<qint64>(zub::max_document_bytes))
            return KIO::ThumbnailResult::fail();
        const QByteArray bytes = file.read(static_cast<qint64>(zub::max_document_bytes));
        zub::picture_order order;
        order.document_path = path.toStdString();
        order.box = std::max(1, std::max(request.targetSize().width(), request.targetSize().height()));
        order.program_from_loader = ZUB_PROGRAM_FROM_LOADER;
        const zub::result<zub::loader_picture> picture =
            zub::compose_picture(zub::bytes_view(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                                                 static_cast<std::size_t>(bytes.size())),
                                 order);
        if (!picture) return KIO::ThumbnailResult::fail();
        const QImage image = zub::to_qimage(*picture);
        return image.isNull() ? KIO::ThumbnailResult::fail() : KIO::ThumbnailResult::pass(image);
    }
};

K_PLUGIN_CLASS_WITH_JSON(ZubThumbnailCreator, "kio_thumbnail.json")

#include "kio_thumbnail.moc"
