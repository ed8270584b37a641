// The Qt image-format plugin: QImageReader reads a ZUB document's picture, its size from
// the header alone, and a scaled picture for a thumbnail. Qt asks for a plugin and a
// handler as classes of its own to derive from; the work is the picture client's.
#pragma once

#include <QImage>
#include <QImageIOHandler>
#include <QImageIOPlugin>
#include <QSize>
#include <QVariant>

class ZubImageHandler : public QImageIOHandler {
public:
    bool canRead() const override;
    bool read(QImage* image) override;
    QVariant option(ImageOption option) const override;
    void setOption(ImageOption option, const QVariant& value) override;
    bool supportsOption(ImageOption option) const override;

private:
    QSize scaled_;
};

class ZubImagePlugin : public QImageIOPlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.qt-project.Qt.QImageIOHandlerFactoryInterface" FILE "qt_plugin.json")

public:
    Capabilities capabilities(QIODevice* device, const QByteArray& format) const override;
    QImageIOHandler* create(QIODevice* device, const QByteArray& format) const override;
};
