// A KDE host for the tests: asks KDE's file metadata extractors about a file as Dolphin's
// information panel and Baloo's indexer do (the extractors for its MIME type, each into
// a result of its own) and prints what they report, a property a line:
//
//   metadata_host FILE [TIMES]     extracts TIMES times (1), printing the last
//
//   mimetype: application/x-zub
//   title: ...
//   width: 640
//   height: 480
//   text: ...           the plain text, its line breaks as \n
#include <KFileMetaData/ExtractorCollection>
#include <KFileMetaData/PropertyInfo>
#include <KFileMetaData/SimpleExtractionResult>
#include <QCoreApplication>
#include <QMimeDatabase>

#include <cstdio>

namespace {

void print(const char* name, const QString& value) {
    QString shown = value;
    shown.replace(QLatin1Char('\\'), QStringLiteral("\\\\"))
        .replace(QLatin1Char('\n'), QStringLiteral("\\n"));
    std::printf("%s: %s\n", name, shown.toUtf8().constData());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        (void)std::fputs("usage: metadata_host FILE [TIMES]\n", stderr);
        return 2;
    }
    const QCoreApplication app(argc, argv);
    const QString path = QString::fromLocal8Bit(argv[1]);
    const int times = argc == 3 ? QString::fromLocal8Bit(argv[2]).toInt() : 1;
    const QString mimetype = QMimeDatabase().mimeTypeForFile(path).name();
    print("mimetype", mimetype);
    const KFileMetaData::ExtractorCollection extractors;
    for (int i = 0; i < times; ++i) {
        for (KFileMetaData::Extractor* extractor : extractors.fetchExtractors(mimetype)) {
            KFileMetaData::SimpleExtractionResult result(path, mimetype);
            extractor->extract(&result);
            if (i + 1 < times) continue;
            const auto properties = result.properties(KFileMetaData::PropertiesMapType::MultiMap);
            for (auto at = properties.cbegin(); at != properties.cend(); ++at)
                print(KFileMetaData::PropertyInfo(at.key()).name().toUtf8().constData(),
                      at.value().toString());
            if (!result.text().isEmpty()) print("text", result.text());
        }
    }
    return 0;
}
