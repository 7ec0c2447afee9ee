#include "ui/ControlArt.h"

#include "foundation/Localization.h"

#include <QHash>

namespace sonorix {

namespace {

QPixmap loadImage(const QString& name) {
    const auto bytes = Localization::shared().imageData(name.toStdString());
    QPixmap pixmap;
    if (!bytes.empty())
        pixmap.loadFromData(bytes.data(), static_cast<uint>(bytes.size()), "PNG");
    return pixmap;
}

} // namespace

QPixmap resourcePixmap(const QString& name, qreal devicePixelRatio) {
    // Never destroyed: pixmaps must not outlive the application object in static destruction.
    static auto& cache = *new QHash<QString, QPixmap>;
    const bool dense = devicePixelRatio > 1.0;
    const QString key = dense ? name + QStringLiteral("@2x") : name;
    if (auto found = cache.constFind(key); found != cache.constEnd())
        return *found;
    QPixmap pixmap;
    if (dense) {
        pixmap = loadImage(key);
        if (!pixmap.isNull())
            pixmap.setDevicePixelRatio(2.0);
    }
    if (pixmap.isNull())
        pixmap = loadImage(name);
    cache.insert(key, pixmap);
    return pixmap;
}

QIcon applicationIcon() {
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256, 512}) {
        const auto bytes = Localization::shared().resourceData(
            QStringLiteral("icons/hicolor/%1x%1/apps/sonorix.png").arg(size).toStdString());
        QPixmap pixmap;
        if (!bytes.empty() &&
            pixmap.loadFromData(bytes.data(), static_cast<uint>(bytes.size()), "PNG"))
            icon.addPixmap(pixmap);
    }
    return icon;
}

QString localizedText(const char* key) {
    return QString::fromStdString(Localization::shared().localizedString(key));
}

QString menuItemText(const char* englishText) {
    return QString::fromStdString(Localization::shared().menuText(englishText));
}

} // namespace sonorix
