#include "fitcheck.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOption>
#include <QTabBar>
#include <QTabWidget>

namespace {

// The two pixels QLineEdit keeps free left and right of its text, and the one
// above and below (private to Qt, fixed in Qt 5).
constexpr int lineEditHorizontalMargin = 2;
constexpr int lineEditVerticalMargin = 1;

QString nameOf(const QWidget *w)
{
    return w->objectName().isEmpty() ? QString::fromLatin1(w->metaObject()->className()) : w->objectName();
}

QString sizeText(const QSize &size)
{
    return QStringLiteral("%1x%2").arg(size.width()).arg(size.height());
}

// Where the style draws a label's text: inside the frame, the margin and the
// indent (QLabel indents by half an 'x' when it has a frame and no indent).
QRect labelTextRect(const QLabel *label)
{
    QRect room = label->contentsRect().adjusted(label->margin(), label->margin(), -label->margin(), -label->margin());
    int indent = label->indent();
    if (indent < 0 && label->frameWidth() > 0)
        indent = label->fontMetrics().horizontalAdvance(QLatin1Char('x')) / 2;
    if (indent > 0 && (label->alignment() & (Qt::AlignLeft | Qt::AlignRight)))
        room.setWidth(room.width() - indent);
    return room;
}

QRect buttonTextRect(const QAbstractButton *button)
{
    QStyleOptionButton option;
    option.initFrom(button);
    option.text = button->text();
    QStyle::SubElement contents = QStyle::SE_PushButtonContents;
    if (qobject_cast<const QCheckBox *>(button))
        contents = QStyle::SE_CheckBoxContents;
    else if (qobject_cast<const QRadioButton *>(button))
        contents = QStyle::SE_RadioButtonContents;
    else if (auto *push = qobject_cast<const QPushButton *>(button); push && (push->isDefault() || push->autoDefault()))
        option.features |= QStyleOptionButton::AutoDefaultButton;
    return button->style()->subElementRect(contents, &option, button);
}

QRect comboTextRect(const QComboBox *box)
{
    QStyleOptionComboBox option;
    option.initFrom(box);
    option.editable = box->isEditable();
    option.frame = box->hasFrame();
    option.currentText = box->currentText();
    return box->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, box);
}

QRect lineEditTextRect(const QLineEdit *edit)
{
    QStyleOptionFrame option;
    option.initFrom(edit);
    option.lineWidth = edit->hasFrame() ? edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, edit) : 0;
    const QMargins text = edit->textMargins();
    return edit->style()
        ->subElementRect(QStyle::SE_LineEditContents, &option, edit)
        .adjusted(text.left() + lineEditHorizontalMargin, text.top() + lineEditVerticalMargin,
            -text.right() - lineEditHorizontalMargin, -text.bottom() - lineEditVerticalMargin);
}

QRect groupTitleRect(const QGroupBox *group)
{
    QStyleOptionGroupBox option;
    option.initFrom(group);
    option.text = group->title();
    option.lineWidth = 1;
    option.textAlignment = group->alignment();
    option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
    if (group->isCheckable())
        option.subControls |= QStyle::SC_GroupBoxCheckBox;
    if (group->isFlat())
        option.features |= QStyleOptionFrame::Flat;
    return group->style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, group);
}

// The text a widget shows and the rectangle it is drawn in; no text, no check.
bool shownText(const QWidget *w, QString *text, QRect *room, int *flags)
{
    *flags = 0;
    if (auto *label = qobject_cast<const QLabel *>(w); label && !label->wordWrap()) {
        *text = label->text();
        *room = labelTextRect(label);
    } else if (auto *button = qobject_cast<const QAbstractButton *>(w)) {
        *text = button->text();
        *room = buttonTextRect(button);
        *flags = Qt::TextShowMnemonic;
    } else if (auto *box = qobject_cast<const QComboBox *>(w)) {
        *text = box->currentText();
        *room = comboTextRect(box);
    } else if (auto *edit = qobject_cast<const QLineEdit *>(w)) {
        *text = edit->text();
        *room = lineEditTextRect(edit);
    } else {
        return false;
    }
    return !text->isEmpty();
}

void checkText(const QWidget *w, QStringList *clipped)
{
    QString text;
    QRect room;
    int flags = 0;
    if (!shownText(w, &text, &room, &flags))
        return;
    const QSize needed = w->fontMetrics().size(flags, text);
    if (needed.width() > room.width() || needed.height() > room.height())
        *clipped << QStringLiteral("%1: \"%2\" needs %3 px, has %4")
                        .arg(nameOf(w), text, sizeText(needed), sizeText(room.size()));
}

// A title must lie inside its box and clear of what the box shows.
void checkGroupTitle(const QGroupBox *group, QStringList *clipped)
{
    if (group->title().isEmpty())
        return;
    const QRect title = groupTitleRect(group);
    if (!group->rect().contains(title))
        *clipped << QStringLiteral("%1: title \"%2\" (%3) does not fit the box (%4)")
                        .arg(nameOf(group), group->title(), sizeText(title.size()), sizeText(group->size()));
    const QList<QWidget *> children = group->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly);
    for (const QWidget *child : children) {
        if (child->isVisible() && child->geometry().intersects(title))
            *clipped
                << QStringLiteral("%1: title \"%2\" runs under %3").arg(nameOf(group), group->title(), nameOf(child));
    }
}

void checkTabs(const QTabWidget *tabs, QStringList *clipped)
{
    const QTabBar *bar = tabs->tabBar();
    for (int i = 0; i < bar->count(); ++i) {
        if (!bar->rect().contains(bar->tabRect(i)))
            *clipped << QStringLiteral("%1: tab \"%2\" lies outside its bar").arg(nameOf(tabs), bar->tabText(i));
    }
}

} // namespace

namespace FitCheck {

QStringList clippedWidgets(const QWidget &window)
{
    QStringList clipped;
    const QList<QWidget *> all = window.findChildren<QWidget *>();
    for (const QWidget *w : all) {
        if (!w->isVisible() || w->isWindow() || w->objectName().startsWith(QLatin1String("qt_")))
            continue;
        const QWidget *parent = w->parentWidget();
        if (parent && !parent->rect().contains(w->geometry())) {
            clipped << QStringLiteral("%1 (%2,%3 %4) sticks out of %5 (%6)")
                           .arg(nameOf(w))
                           .arg(w->x())
                           .arg(w->y())
                           .arg(sizeText(w->size()), nameOf(parent), sizeText(parent->size()));
            continue;
        }
        checkText(w, &clipped);
        if (auto *group = qobject_cast<const QGroupBox *>(w))
            checkGroupTitle(group, &clipped);
        else if (auto *tabs = qobject_cast<const QTabWidget *>(w))
            checkTabs(tabs, &clipped);
    }
    return clipped;
}

} // namespace FitCheck
