// KDE's file metadata: Dolphin's information panel and Baloo's search read a document's
// title, window size and texts through this plugin. It runs inside those programs, on
// every document they index, unasked: it reads the header, the caption and the records a
// piece at a time with pread (a mapping would raise SIGBUS in the host if the file shrank
// while it is read), skips the image's bytes, never decodes a picture nor opens a font,
// and throws nothing into the host.
#include <KFileMetaData/ExtractorPlugin>
#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <exception>

#include "document/limits.hpp"
#include "document/strings.hpp"
#include "document/words.hpp"
#include "files/descriptor.hpp"

namespace {

// As many of the bytes as the file has there: fewer where it has become shorter.
std::size_t read_at_most(int fd, std::uint64_t offset, std::span<std::uint8_t> into) {
    std::size_t done = 0;
    while (done < into.size()) {
        const ssize_t got =
            pread(fd, into.data() + done, into.size() - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

// What a regular file within the documents' bound holds of its words; nothing for
// anything else, which is refused by its size or kind before a byte is read.
zub::document_words words_of(const QString& path) {
    const zub::descriptor file{
        open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)};
    struct stat about {};
    if (file.fd < 0 || fstat(file.fd, &about) != 0 || !S_ISREG(about.st_mode)) return {};
    const auto size = static_cast<std::uint64_t>(about.st_size);
    if (size > zub::max_document_bytes) return {};
    return zub::read_document_words(
        size,
        [&](std::uint64_t offset, std::span<std::uint8_t> into) {
            return read_at_most(file.fd, offset, into);
        },
        zub::max_texts_file_bytes);
}

QString from_utf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<int>(text.size()));
}

}  // namespace

class ZubExtractor : public KFileMetaData::ExtractorPlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.kde.kf5.kfilemetadata.ExtractorPlugin" FILE "kfilemetadata_extractor.json")
    Q_INTERFACES(KFileMetaData::ExtractorPlugin)

public:
    explicit ZubExtractor(QObject* parent = nullptr) : ExtractorPlugin(parent) {}

    QStringList mimetypes() const override { return {QStringLiteral("application/x-zub")}; }

    void extract(KFileMetaData::ExtractionResult* result) override {
        try {
            const zub::document_words words = words_of(result->inputUrl());
            if (!words.header) return;
            using Flag = KFileMetaData::ExtractionResult::Flag;
            result->addType(KFileMetaData::Type::Image);
            if (result->inputFlags().testFlag(Flag::ExtractMetaData)) {
                add_metadata(*result, words);
            }
            if (result->inputFlags().testFlag(Flag::ExtractPlainText) && !words.texts.empty()) {
                // The records' texts in file order, one a line.
                QString text;
                for (std::size_t i = 0; i < words.texts.size(); ++i) {
                    if (i > 0) text += QLatin1Char('\n');
                    const std::vector<std::uint8_t>& stored = words.texts[i];
                    text += QString::fromLatin1(reinterpret_cast<const char*>(stored.data()),
                                                static_cast<int>(stored.size()));
                }
                result->append(text);
            }
        } catch (const std::exception&) {  // out of memory, in all likelihood: the host goes on
        }
    }

private:
    // The title as `zub info` reads the caption (UTF-8 where it is valid, else Latin-1), and
    // the window's sides; a side of 0 takes the desktop's, which the file does not say.
    static void add_metadata(KFileMetaData::ExtractionResult& result, const zub::document_words& words) {
        if (words.caption && !words.caption->empty()) {
            const std::string title =
                words.caption_whole ? zub::caption_text(*words.caption) : zub::title_text(*words.caption);
            if (!title.empty()) result.add(KFileMetaData::Property::Title, from_utf8(title));
        }
        const zub::document_header& h = *words.header;
        if (h.width < 0 || h.height < 0 || h.width > zub::max_window_side || h.height > zub::max_window_side)
            return;
        if (h.width > 0) result.add(KFileMetaData::Property::Width, h.width);
        if (h.height > 0) result.add(KFileMetaData::Property::Height, h.height);
    }
};

#include "kfilemetadata_extractor.moc"
