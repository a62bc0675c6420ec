#include "indicatorguard.h"

#include <QAbstractButton>
#include <QEvent>

IndicatorGuard::IndicatorGuard(QObject *parent) : QObject(parent) { }

void IndicatorGuard::install(QAbstractButton *button)
{
    // Without focus it cannot be reached by Tab, and so not by the space bar.
    button->setFocusPolicy(Qt::NoFocus);
    button->installEventFilter(new IndicatorGuard(button));
}

bool IndicatorGuard::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
        return true;
    default:
        return QObject::eventFilter(watched, event);
    }
}
