#include "BundleImage.h"

#include <QHash>

#include "Bundle.h"

QIcon BundleImage::named(const QString& name) {
    static QHash<QString, QIcon> cache;
    auto it = cache.constFind(name);
    if (it != cache.constEnd()) return *it;
    QIcon icon;
    for (const char* type : {"svg", "png"}) {
        const std::string path = Bundle::main().pathForResource("images/" + name.toStdString(), type);
        if (!path.empty()) {
            icon = QIcon(QString::fromStdString(path));
            break;
        }
    }
    cache.insert(name, icon);
    return icon;
}
