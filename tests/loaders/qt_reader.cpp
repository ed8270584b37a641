// A Qt host for the tests: reads a picture with QImageReader, as Qt programs do, and
// writes it as a binary PPM with Qt's own writer.
//
//   qt_reader FILE OUT.ppm [WxH]   the picture, or scaled to WxH; prints "size WxH" first
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>
#include <QStringList>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 3) {
        (void)std::fputs("usage: qt_reader FILE OUT.ppm [WxH]\n", stderr);
        return 2;
    }
    const QGuiApplication app(argc, argv);
    QImageReader reader(QString::fromLocal8Bit(argv[1]));
    const QSize size = reader.size();
    std::printf("format %s size %dx%d\n", reader.format().constData(), size.width(), size.height());
    if (argc > 3) {
        const QStringList sides = QString::fromLocal8Bit(argv[3]).split('x');
        if (sides.size() != 2) return 2;
        reader.setScaledSize(QSize(sides[0].toInt(), sides[1].toInt()));
    }
    const QImage image = reader.read();
    if (image.isNull()) {
        std::printf("error %s\n", reader.errorString().toLocal8Bit().constData());
        return 1;
    }
    std::printf("read %dx%d\n", image.width(), image.height());
    return image.convertToFormat(QImage::Format_RGB888).save(QString::fromLocal8Bit(argv[2]), "PPM") ? 0 : 1;
}
