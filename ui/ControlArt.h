#pragma once

#include <QIcon>
#include <QPixmap>
#include <QString>

namespace sonorix {

// An image of the resource archive as a pixmap for a screen of the given pixel density: the
// "@2x" twin where the density exceeds 1 and the archive has one, else the plain image. Pixmaps
// are cached per name and density; a missing image gives a null pixmap.
QPixmap resourcePixmap(const QString& name, qreal devicePixelRatio);

// The application icon in every size the archive holds, for the window and the desktop's
// task switcher when the program runs uninstalled.
QIcon applicationIcon();

// The interface text for a key of the string tables, as a QString.
QString localizedText(const char* key);
QString menuItemText(const char* englishText);

} // namespace sonorix
