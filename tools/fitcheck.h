#ifndef FITCHECK_H
#define FITCHECK_H

#include <QStringList>

class QWidget;

namespace FitCheck {

// Everything of `window` that is shown but cut off, one line each: a widget
// that sticks out of its parent, a text (caption, title, value) whose font
// metrics exceed the rectangle the style draws it in, in width or height, a
// group box title that runs under the box's contents, a tab outside its bar.
// Empty when all of it can be read.
QStringList clippedWidgets(const QWidget &window);

} // namespace FitCheck

#endif // FITCHECK_H
