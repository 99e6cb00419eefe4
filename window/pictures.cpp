#include "window/pictures.h"

// The pictures live in a static library, whose resources must be pulled in by name; the macro
// declares a global function and so stands outside any namespace.
static bool RegisterPictures()
{
    Q_INIT_RESOURCE(orvanta);
    return true;
}

static QIcon Load(const char* path)
{
    static const bool registered = RegisterPictures();
    Q_UNUSED(registered);
    return QIcon(QLatin1String(path));
}

namespace Pictures {

QIcon WindowIcon()
{
    return Load(":/pictures/orvanta.xpm");
}

QIcon Read()
{
    return Load(":/pictures/folder.xpm");
}

QIcon Stop()
{
    return Load(":/pictures/stop.xpm");
}

} // namespace Pictures
