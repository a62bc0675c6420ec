#ifndef MODULEWIDGETS_H
#define MODULEWIDGETS_H

#include <QString>
#include <QtGlobal>

class QWidget;

// The per-module widget families (check boxes and state labels named prefix
// + module number 1..n) and the 16-bit module masks they stand for: bit i is
// module i + 1. A name that finds no widget is skipped.
class ModuleWidgets
{
public:
    // Mask of the checked boxes prefix1 .. prefixN among root's descendants.
    static quint16 checkedMask(const QWidget *root, const QString &prefix, int count);
    // Checks box n exactly when bit n - 1 of mask is set.
    static void setChecked(QWidget *root, const QString &prefix, quint16 mask, int count);
    // Checks or unchecks every box of the family.
    static void setAllChecked(QWidget *root, const QString &prefix, bool checked, int count);
    // Sets label n to `on` when bit n - 1 of mask is set, to `off` otherwise.
    static void setLabels(QWidget *root, const QString &prefix, quint16 mask, int count, const QString &on,
                          const QString &off);
};

#endif // MODULEWIDGETS_H
