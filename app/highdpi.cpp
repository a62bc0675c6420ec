#include "highdpi.h"

#include <QGuiApplication>

void enableHighDpiScaling()
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    // Qt 6 always scales and always draws pictures at full resolution.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    // Icons and style pictures drawn at the screen's resolution, not blown up.
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
#endif
    // The screen's own factor, unrounded. At 150 % the 1089 x 604 window
    // becomes 1634 x 906 device pixels and fits a 1920 x 1080 laptop; Round
    // would make 1.5 a 2 (2178 x 1208, larger than that screen) and 1.25 a 1,
    // which leaves the fonts alone to grow by 1.25 and cut captions off again.
    // The price of a fractional factor in Qt 5 is cosmetic: a line of the
    // style cannot be 1.5 device pixels wide, so it is drawn snapped to whole
    // pixels, a little out of proportion; text is drawn at full resolution.
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
}
