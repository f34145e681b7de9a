#include "ui/dicons.h"

#include <QtGlobal>

static void registerIconResources()
{
    Q_INIT_RESOURCE(resources);
}

void loadIcons()
{
    static const bool loaded = (registerIconResources(), true);
    Q_UNUSED(loaded);
}
