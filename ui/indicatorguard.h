#ifndef INDICATORGUARD_H
#define INDICATORGUARD_H

#include <QObject>

class QAbstractButton;

// Makes a check box or radio button a pure indicator: clicks and keys no
// longer toggle it, so it shows only what the program sets (the controller's
// state), while it still looks enabled and keeps its tool tip.
class IndicatorGuard : public QObject
{
    Q_OBJECT

public:
    // Installs a guard owned by the button.
    static void install(QAbstractButton *button);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    explicit IndicatorGuard(QObject *parent);
};

#endif // INDICATORGUARD_H
