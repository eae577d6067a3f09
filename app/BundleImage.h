#pragma once

#include <QIcon>
#include <QString>

// Images of the bundle by resource name ("onState", "start_n", ...), loaded once per name.
// GUI thread only.
class BundleImage {
public:
    // The image "<name>.svg" (or .png) of the main bundle; a null icon when there is none.
    static QIcon named(const QString& name);
};
