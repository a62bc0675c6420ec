#include "modulewidgets.h"

#include <QCheckBox>
#include <QLabel>
#include <QWidget>

namespace {

template <typename T> T *moduleWidget(const QWidget *root, const QString &prefix, int module)
{
    return root->findChild<T *>(prefix + QString::number(module));
}

} // namespace

quint16 ModuleWidgets::checkedMask(const QWidget *root, const QString &prefix, int count)
{
    quint16 mask = 0;
    for (int i = 0; i < count && i < 16; ++i) {
        const QCheckBox *box = moduleWidget<QCheckBox>(root, prefix, i + 1);
        if (box && box->isChecked())
            mask |= quint16(1u << i);
    }
    return mask;
}

void ModuleWidgets::setChecked(QWidget *root, const QString &prefix, quint16 mask, int count)
{
    for (int i = 0; i < count && i < 16; ++i) {
        if (QCheckBox *box = moduleWidget<QCheckBox>(root, prefix, i + 1))
            box->setChecked((mask >> i) & 1u);
    }
}

void ModuleWidgets::setAllChecked(QWidget *root, const QString &prefix, bool checked, int count)
{
    setChecked(root, prefix, checked ? 0xFFFF : 0x0000, count);
}

void ModuleWidgets::setLabels(QWidget *root, const QString &prefix, quint16 mask, int count, const QString &on,
                              const QString &off)
{
    for (int i = 0; i < count && i < 16; ++i) {
        if (QLabel *label = moduleWidget<QLabel>(root, prefix, i + 1))
            label->setText(((mask >> i) & 1u) ? on : off);
    }
}
