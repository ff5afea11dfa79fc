#pragma once
// Icon 130, the application icon: the large (32 x 32) and small (16 x 16) images.

#include <QIcon>

QIcon AppIcon();
