#include "AppIcon.h"

#include <QString>

static void RegisterIconResources()
{
    // The icons live in a static library, whose resource registration the linker would drop.
    static const bool bRegistered = [] {
        Q_INIT_RESOURCE(velnor_icons);
        return true;
    }();
    (void)bRegistered;
}

QIcon AppIcon()
{
    RegisterIconResources();
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/icon130-16.png"), QSize(16, 16));
    icon.addFile(QStringLiteral(":/icons/icon130-32.png"), QSize(32, 32));
    return icon;
}
