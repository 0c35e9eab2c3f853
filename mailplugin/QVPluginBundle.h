// The plug-in's own bundle folder, found from the loaded library's path
// (Contents/MacOS/<library>).
#pragma once

#include <QString>

namespace QVPluginBundle {

QString bundlePath();
// Contents/Resources/<name>.svg, or an empty string when the file is
// missing (the item then has no image).
QString imagePath(const char *name);

}  // namespace QVPluginBundle
