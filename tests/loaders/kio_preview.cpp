// A KDE host for the tests: asks KIO::PreviewJob for a file's preview, as Dolphin does,
// and writes it as a binary PPM; prints "failed" when no plugin made one.
//
//   kio_preview FILE OUT.ppm SIZE
#include <KFileItem>
#include <KIO/PreviewJob>
#include <QApplication>
#include <QImage>
#include <QPixmap>
#include <QUrl>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 4) {
        (void)std::fputs("usage: kio_preview FILE OUT.ppm SIZE\n", stderr);
        return 2;
    }
    const QApplication app(argc, argv);
    const QString out = QString::fromLocal8Bit(argv[2]);
    const int size = QString::fromLocal8Bit(argv[3]).toInt();
    const QStringList plugins = KIO::PreviewJob::availablePlugins();
    auto* job =
        KIO::filePreview(KFileItemList{KFileItem(QUrl::fromLocalFile(QString::fromLocal8Bit(argv[1])))},
                         QSize(size, size), &plugins);
    job->setScaleType(KIO::PreviewJob::Scaled);
    bool saved = false;
    QObject::connect(job, &KIO::PreviewJob::gotPreview, [&](const KFileItem&, const QPixmap& preview) {
        saved = preview.toImage().convertToFormat(QImage::Format_RGB888).save(out, "PPM");
    });
    QObject::connect(job, &KIO::PreviewJob::failed, [](const KFileItem&) { std::puts("failed"); });
    QObject::connect(job, &KJob::result, &app, &QCoreApplication::quit);
    QApplication::exec();
    return saved ? 0 : 1;
}
