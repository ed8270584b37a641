// A Qt host for the tests: reads a picture with QImageReader, as Qt programs do, and
// writes it as a binary PPM with Qt's own writer.
//
//   qt_reader FILE OUT.ppm [WxH]   the picture, or scaled to WxH; prints "size WxH" first
//   qt_reader --time FILE RUNS     prints the median seconds of a read
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>
#include <QStringList>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string_view>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 3) {
        (void)std::fputs("usage: qt_reader FILE OUT.ppm [WxH]\n", stderr);
        return 2;
    }
    const QGuiApplication app(argc, argv);
    if (std::string_view(argv[1]) == "--time") {
        std::vector<double> seconds;
        for (int i = 0; i < QString::fromLocal8Bit(argv[3]).toInt(); ++i) {
            const auto start = std::chrono::steady_clock::now();
            if (QImageReader(QString::fromLocal8Bit(argv[2])).read().isNull()) return 1;
            seconds.push_back(
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }
        if (seconds.empty()) return 2;
        std::sort(seconds.begin(), seconds.end());
        std::printf("%g\n", seconds[seconds.size() / 2]);
        return 0;
    }
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
