#ifndef CONFIGTAB_H
#define CONFIGTAB_H

#include <QString>
#include <QStringList>

class MainWindow;
class PanelRig;
class QCheckBox;

// The configuration tab as the operator sees and fills it.

QCheckBox *moduleBox(MainWindow &w, const QString &prefix, int module);
// Ticks the tab's boxes by hand, as the operator would.
void tickBoxes(MainWindow &w, const QString &prefix, quint16 mask);
quint16 tickedMask(MainWindow &w, const QString &prefix);
// Everything the tab shows, in a form QCOMPARE prints readably.
QStringList tabState(PanelRig &rig);
QStringList expectedTab(const QString &name, quint16 enable, quint16 lowPower, const QString &dac,
                        const QString &alarm, const QString &hours);
void fillTab(PanelRig &rig, const QString &name, quint16 enable, quint16 lowPower, const QString &dac,
             const QString &alarm, const QString &hours);

// Data rows dac, alarm, hours with one of the three numeric fields empty
// (and, when asked, all three).
void addEmptyFieldRows(bool allEmptyToo);

#endif // CONFIGTAB_H
