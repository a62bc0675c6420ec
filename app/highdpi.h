#ifndef HIGHDPI_H
#define HIGHDPI_H

// Makes the whole window scale with the screen's DPI. Without it Qt 5 lets
// the fonts follow the DPI while the form's fixed geometries stay in device
// pixels, so on a 150-200 % screen captions are cut off. Every program with a
// window calls this first in main(), before its QApplication is made: Qt reads
// these settings only when the application object is created.
void enableHighDpiScaling();

#endif // HIGHDPI_H
