// Tests of the main window form (ui/mainwindow.ui): object names, classes,
// parents, layout cells, layout rules, initial texts and states, item lists,
// tab titles, translation context and the slots it connects by name.
//
// The form is built on a plain QMainWindow (or on a small recording window
// for the by-name connections), so these tests do not depend on MainWindow.

#include "mainwindowform.h"

#include <QAbstractButton>
#include <QBoxLayout>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMap>
#include <QMenuBar>
#include <QPointer>
#include <QRadioButton>
#include <QSet>
#include <QSpacerItem>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>
#include <QToolBar>
#include <QTranslator>
#include <QtTest>

#include <memory>

namespace {

const int moduleCount = 12;

// A window with its form built on it.
struct Form
{
    QMainWindow window;
    MainWindowForm ui;

    Form() { ui.buildForm(&window); }

    // The one descendant of the window with that object name, or null when
    // there is none or more than one.
    template <typename T = QObject>
    T *get(const QString &name) const
    {
        const QList<QObject *> found = window.findChildren<QObject *>(name);
        if (found.size() != 1)
            return nullptr;
        return qobject_cast<T *>(found.first());
    }
};

// Everything the form builds, found by walking the form's containers (the
// window, plain widgets, group boxes, the tab widget's pages) and their
// layouts. Leaf controls are not entered, and Qt's own helper widgets
// (object names starting with "qt_") are left out.
struct FormTree
{
    QList<QWidget *> widgets;
    QList<QLayout *> layouts;
    QList<QSpacerItem *> spacers;
};

void walkLayout(QLayout *layout, FormTree &tree)
{
    tree.layouts << layout;
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem *item = layout->itemAt(i);
        if (item->layout())
            walkLayout(item->layout(), tree);
        else if (item->spacerItem())
            tree.spacers << item->spacerItem();
    }
}

bool isContainer(const QWidget *widget)
{
    const QByteArray cls = widget->metaObject()->className();
    return widget->inherits("QMainWindow") || cls == "QWidget" || cls == "QGroupBox";
}

void walkWidget(QWidget *widget, FormTree &tree)
{
    if (auto tabs = qobject_cast<QTabWidget *>(widget)) {
        for (int i = 0; i < tabs->count(); ++i) {
            tree.widgets << tabs->widget(i);
            walkWidget(tabs->widget(i), tree);
        }
        return;
    }
    if (!isContainer(widget))
        return;
    if (widget->layout() && !widget->inherits("QMainWindow"))
        walkLayout(widget->layout(), tree);
    for (QObject *child : widget->children()) {
        auto childWidget = qobject_cast<QWidget *>(child);
        if (!childWidget || childWidget->objectName().startsWith(QLatin1String("qt_")))
            continue;
        tree.widgets << childWidget;
        walkWidget(childWidget, tree);
    }
}

FormTree formTree(QMainWindow *window)
{
    FormTree tree;
    walkWidget(window, tree);
    return tree;
}

// Where a widget or a layout sits inside its enclosing layout.
struct Place
{
    QLayout *layout = nullptr;
    int index = -1;
    int row = -1;
    int column = -1;
    int rowSpan = 0;
    int columnSpan = 0;
};

Place placeOf(const QList<QLayout *> &layouts, const QObject *object)
{
    Place place;
    for (QLayout *layout : layouts) {
        for (int i = 0; i < layout->count(); ++i) {
            QLayoutItem *item = layout->itemAt(i);
            if (item->widget() != object && item->layout() != object)
                continue;
            place.layout = layout;
            place.index = i;
            if (auto grid = qobject_cast<QGridLayout *>(layout))
                grid->getItemPosition(i, &place.row, &place.column, &place.rowSpan, &place.columnSpan);
            return place;
        }
    }
    return place;
}

QString moduleCaption(int n)
{
    return QString::number(n) + QLatin1Char('#');
}

QStringList comboItems(const QComboBox *combo)
{
    QStringList items;
    for (int i = 0; i < combo->count(); ++i)
        items << combo->itemText(i);
    return items;
}

// Every text the form sets, keyed by object name and property.
QMap<QString, QString> formTexts(QMainWindow *window)
{
    QMap<QString, QString> texts;
    texts.insert(QStringLiteral("window.windowTitle"), window->windowTitle());
    const FormTree tree = formTree(window);
    for (QWidget *widget : tree.widgets) {
        const QString name = widget->objectName();
        if (auto label = qobject_cast<QLabel *>(widget))
            texts.insert(name + QLatin1String(".text"), label->text());
        if (auto button = qobject_cast<QAbstractButton *>(widget))
            texts.insert(name + QLatin1String(".text"), button->text());
        if (auto edit = qobject_cast<QLineEdit *>(widget))
            texts.insert(name + QLatin1String(".text"), edit->text());
        if (auto box = qobject_cast<QGroupBox *>(widget))
            texts.insert(name + QLatin1String(".title"), box->title());
        if (auto combo = qobject_cast<QComboBox *>(widget)) {
            texts.insert(name + QLatin1String(".count"), QString::number(combo->count()));
            for (int i = 0; i < combo->count(); ++i)
                texts.insert(name + QLatin1String(".item") + QString::number(i), combo->itemText(i));
        }
        if (auto tabs = qobject_cast<QTabWidget *>(widget)) {
            for (int i = 0; i < tabs->count(); ++i)
                texts.insert(tabs->widget(i)->objectName() + QLatin1String(".tabText"), tabs->tabText(i));
        }
        if (qobject_cast<QToolBar *>(widget))
            texts.insert(name + QLatin1String(".windowTitle"), widget->windowTitle());
        texts.insert(name + QLatin1String(".toolTip"), widget->toolTip());
        texts.insert(name + QLatin1String(".statusTip"), widget->statusTip());
    }
    return texts;
}

// Records every look-up; translates the "MainWindow" context by prefixing
// the source text with a marker, so that a text shown unmarked afterwards
// did not pass through the translation function with that context.
class RecordingTranslator : public QTranslator
{
public:
    struct Request
    {
        QString context;
        QString source;
        bool hasDisambiguation;
        int n;
    };

    static QString marker() { return QStringLiteral("T:"); }

    bool isEmpty() const override { return false; }

    QString translate(const char *context, const char *sourceText, const char *disambiguation = nullptr,
                      int n = -1) const override
    {
        const QString ctx = QString::fromUtf8(context);
        const QString source = QString::fromUtf8(sourceText);
        requests.append({ctx, source, disambiguation != nullptr, n});
        if (ctx == QLatin1String("MainWindow"))
            return marker() + source;
        return QString();
    }

    mutable QVector<Request> requests;
};

QStringList capturedMessages;

void captureMessage(QtMsgType, const QMessageLogContext &, const QString &message)
{
    capturedMessages << message;
}

} // namespace

// A window with one recording slot per by-name connection of the form.
class RecordingWindow : public QMainWindow
{
    Q_OBJECT

public:
    QStringList calls;

private slots:
    void on_checkSerial_clicked() { calls << QStringLiteral("checkSerial"); }
    void on_switchSerial_clicked() { calls << QStringLiteral("switchSerial"); }
    void on_tabWidget_currentChanged(int index) { calls << QStringLiteral("tabWidget(%1)").arg(index); }
    void on_tabWidget_destroyed() { calls << QStringLiteral("tabWidget destroyed"); }
    void on_ldOnOffAll_clicked(bool checked) { calls << QStringLiteral("ldOnOffAll(%1)").arg(checked); }
    void on_checkBoxLdEn_clicked(bool checked) { calls << QStringLiteral("checkBoxLdEn(%1)").arg(checked); }
    void on_btnLdOn_clicked() { calls << QStringLiteral("btnLdOn"); }
    void on_powerSet_clicked() { calls << QStringLiteral("powerSet"); }
    void on_ldAdcOff_clicked() { calls << QStringLiteral("ldAdcOff"); }
    void on_ldAdcOn_clicked() { calls << QStringLiteral("ldAdcOn"); }
    void on_analogPowerSet_clicked() { calls << QStringLiteral("analogPowerSet"); }
    void on_btnSaveLdEn_clicked() { calls << QStringLiteral("btnSaveLdEn"); }
    void on_btnGetLdEn_clicked() { calls << QStringLiteral("btnGetLdEn"); }
    void on_saveLimitPower_clicked() { calls << QStringLiteral("saveLimitPower"); }
    void on_getLimitPower_clicked() { calls << QStringLiteral("getLimitPower"); }
    void on_set485Id_clicked() { calls << QStringLiteral("set485Id"); }
    void on_btnSaveAllConfig_clicked() { calls << QStringLiteral("btnSaveAllConfig"); }
    void on_btnGetAllConfig_clicked() { calls << QStringLiteral("btnGetAllConfig"); }
    void on_btnResetFactory_clicked() { calls << QStringLiteral("btnResetFactory"); }
    void on_btnExportConfig_clicked() { calls << QStringLiteral("btnExportConfig"); }
    void on_btnExportConfig_2_clicked() { calls << QStringLiteral("btnExportConfig_2"); }
};

class TestForm : public QObject
{
    Q_OBJECT

private slots:
    void formObjectHoldsOnePointerPerObject();
    void inventoryByClass();
    void everyObjectNamedOnce();
    void objectTree_data();
    void objectTree();
    void moduleFamilies_data();
    void moduleFamilies();
    void gridShapes_data();
    void gridShapes();
    void layoutRules();
    void layoutContainers_data();
    void layoutContainers();
    void spacerSitsBetweenFieldsAndButtons();
    void captions_data();
    void captions();
    void initialStates();
    void comboLists();
    void comboListsSurviveSecondTextPass();
    void tips();
    void framesAndAlignment();
    void sizePolicies_data();
    void sizePolicies();
    void fonts();
    void tabWidgetBehaviour();
    void tabTitlesFollowPages();
    void windowFrame();
    void windowNaming();
    void everyWidgetEnabledAndShown();
    void textsUseMainWindowContext();
    void slotsConnectedByName_data();
    void slotsConnectedByName();
    void tabSlotsConnectedAfterBuild();
};

void TestForm::formObjectHoldsOnePointerPerObject()
{
    // 154 widgets, 42 layouts and one spacer item: nothing else in the form object.
    QCOMPARE(sizeof(Ui_MainWindow), std::size_t(154 + 42 + 1) * sizeof(void *));
}

void TestForm::inventoryByClass()
{
    Form form;
    const FormTree tree = formTree(&form.window);

    QMap<QString, int> widgets;
    for (QWidget *widget : tree.widgets)
        ++widgets[QString::fromLatin1(widget->metaObject()->className())];
    QMap<QString, int> expected;
    expected[QStringLiteral("QWidget")] = 11;
    expected[QStringLiteral("QTabWidget")] = 1;
    expected[QStringLiteral("QGroupBox")] = 8;
    expected[QStringLiteral("QLabel")] = 49;
    expected[QStringLiteral("QLineEdit")] = 9;
    expected[QStringLiteral("QComboBox")] = 4;
    expected[QStringLiteral("QPushButton")] = 17;
    expected[QStringLiteral("QCheckBox")] = 50;
    expected[QStringLiteral("QRadioButton")] = 1;
    expected[QStringLiteral("QMenuBar")] = 1;
    expected[QStringLiteral("QToolBar")] = 2;
    expected[QStringLiteral("QStatusBar")] = 1;
    QCOMPARE(widgets, expected);
    QCOMPARE(tree.widgets.size(), 154);

    QMap<QString, int> layouts;
    for (QLayout *layout : tree.layouts)
        ++layouts[QString::fromLatin1(layout->metaObject()->className())];
    QMap<QString, int> expectedLayouts;
    expectedLayouts[QStringLiteral("QGridLayout")] = 13;
    expectedLayouts[QStringLiteral("QHBoxLayout")] = 25;
    expectedLayouts[QStringLiteral("QVBoxLayout")] = 4;
    QCOMPARE(layouts, expectedLayouts);

    QCOMPARE(tree.spacers.size(), 1);
    QCOMPARE(tree.spacers.first(), form.ui.verticalSpacer);

    // Per page, as the operator sees them.
    auto countOn = [](QWidget *page, const char *cls) {
        int n = 0;
        for (QWidget *w : page->findChildren<QWidget *>())
            n += qstrcmp(w->metaObject()->className(), cls) == 0 ? 1 : 0;
        return n;
    };
    const QList<QWidget *> pages = {form.ui.tab, form.ui.tab_2, form.ui.tab_3, form.ui.tab_4};
    const QVector<int> labels = {5, 37, 1, 6};
    const QVector<int> edits = {1, 2, 2, 4};
    const QVector<int> buttons = {2, 5, 5, 5};
    const QVector<int> checkBoxes = {0, 13, 13, 24};
    for (int i = 0; i < pages.size(); ++i) {
        QCOMPARE(countOn(pages[i], "QLabel"), labels[i]);
        QCOMPARE(countOn(pages[i], "QLineEdit"), edits[i]);
        QCOMPARE(countOn(pages[i], "QPushButton"), buttons[i]);
        QCOMPARE(countOn(pages[i], "QCheckBox"), checkBoxes[i]);
    }
    QCOMPARE(countOn(form.ui.tab, "QComboBox"), 4);
    QCOMPARE(countOn(form.ui.tab_2, "QRadioButton"), 1);
    QCOMPARE(countOn(form.ui.tab_2, "QGroupBox"), 5);
    QCOMPARE(countOn(form.ui.tab_3, "QGroupBox"), 3);
}

void TestForm::everyObjectNamedOnce()
{
    // Slots and per-module look-ups go by object name: every object of the
    // form has a name, and no name is used twice anywhere in the window.
    Form form;
    const FormTree tree = formTree(&form.window);
    QSet<QString> names;
    for (QWidget *widget : tree.widgets) {
        QVERIFY2(!widget->objectName().isEmpty(), widget->metaObject()->className());
        names.insert(widget->objectName());
    }
    for (QLayout *layout : tree.layouts) {
        QVERIFY2(!layout->objectName().isEmpty(), layout->metaObject()->className());
        names.insert(layout->objectName());
    }
    QCOMPARE(names.size(), 154 + 42);
    for (const QString &name : qAsConst(names))
        QVERIFY2(form.window.findChildren<QObject *>(name).size() == 1, qPrintable(name));
}

// Where each object of the form sits, apart from the per-module families
// (moduleFamilies) and the four pages (tabTitlesFollowPages).
// Columns: object name, class, parent widget, enclosing layout ("" when the
// object is in no layout, or, for a layout, when it is installed directly
// on its parent widget), then the row and column in a grid or the index in
// a box (column -1).
void TestForm::objectTree_data()
{
    QTest::addColumn<QString>("cls");
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QString>("layout");
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("column");

    auto add = [](const QByteArray &name, const char *cls, const char *parent, const char *layout, int row = -1,
                  int column = -1) {
        QTest::newRow(name.constData()) << QString::fromLatin1(cls) << QString::fromLatin1(parent)
                                        << QString::fromLatin1(layout) << row << column;
    };

    // Frame.
    add("centralWidget", "QWidget", "MainWindow", "");
    add("gridLayout", "QGridLayout", "centralWidget", "");
    add("tabWidget", "QTabWidget", "centralWidget", "gridLayout", 0, 0);
    add("menuBar", "QMenuBar", "MainWindow", "");
    add("mainToolBar", "QToolBar", "MainWindow", "");
    add("statusBar", "QStatusBar", "MainWindow", "");
    add("toolBar", "QToolBar", "MainWindow", "");

    // Page 1: serial communication.
    add("layoutWidget", "QWidget", "tab", "");
    add("gridLayout_6", "QGridLayout", "layoutWidget", "");
    add("horizontalLayout_5", "QHBoxLayout", "layoutWidget", "gridLayout_6", 0, 0);
    add("label_5", "QLabel", "layoutWidget", "horizontalLayout_5", 0);
    add("lineEditRs485Id", "QLineEdit", "layoutWidget", "horizontalLayout_5", 1);
    add("horizontalLayout", "QHBoxLayout", "layoutWidget", "gridLayout_6", 1, 0);
    add("label", "QLabel", "layoutWidget", "horizontalLayout", 0);
    add("serialName", "QComboBox", "layoutWidget", "horizontalLayout", 1);
    add("horizontalLayout_2", "QHBoxLayout", "layoutWidget", "gridLayout_6", 2, 0);
    add("label_2", "QLabel", "layoutWidget", "horizontalLayout_2", 0);
    add("baudRate", "QComboBox", "layoutWidget", "horizontalLayout_2", 1);
    add("horizontalLayout_3", "QHBoxLayout", "layoutWidget", "gridLayout_6", 3, 0);
    add("label_3", "QLabel", "layoutWidget", "horizontalLayout_3", 0);
    add("stopBits", "QComboBox", "layoutWidget", "horizontalLayout_3", 1);
    add("horizontalLayout_4", "QHBoxLayout", "layoutWidget", "gridLayout_6", 4, 0);
    add("label_4", "QLabel", "layoutWidget", "horizontalLayout_4", 0);
    add("paritySelect", "QComboBox", "layoutWidget", "horizontalLayout_4", 1);
    add("checkSerial", "QPushButton", "layoutWidget", "gridLayout_6", 5, 0);
    add("switchSerial", "QPushButton", "layoutWidget", "gridLayout_6", 6, 0);

    // Page 2: device control.
    add("gridLayout_7", "QGridLayout", "tab_2", "");
    add("horizontalLayout_7", "QHBoxLayout", "tab_2", "gridLayout_7", 0, 0);
    add("verticalLayout", "QVBoxLayout", "tab_2", "horizontalLayout_7", 0);
    add("groupBoxOtherCtrl", "QGroupBox", "tab_2", "verticalLayout", 0);
    add("ldSwitchCtrl", "QGroupBox", "tab_2", "verticalLayout", 1);
    add("groupBoxPowerSet", "QGroupBox", "tab_2", "verticalLayout", 2);
    add("devStatus", "QGroupBox", "tab_2", "horizontalLayout_7", 1);

    add("layoutWidget1", "QWidget", "groupBoxOtherCtrl", "");
    add("horizontalLayout_19", "QHBoxLayout", "layoutWidget1", "");
    add("radioButtonAdcEnableStat", "QRadioButton", "layoutWidget1", "horizontalLayout_19", 0);
    add("ldAdcOff", "QPushButton", "layoutWidget1", "horizontalLayout_19", 1);
    add("ldAdcOn", "QPushButton", "layoutWidget1", "horizontalLayout_19", 2);

    add("layoutWidget2", "QWidget", "ldSwitchCtrl", "");
    add("horizontalLayout_6", "QHBoxLayout", "layoutWidget2", "");
    add("horizontalLayout_35", "QHBoxLayout", "layoutWidget2", "horizontalLayout_6", 0);
    add("label_8", "QLabel", "layoutWidget2", "horizontalLayout_35", 0);
    add("ldOnOffAll", "QCheckBox", "layoutWidget2", "horizontalLayout_35", 1);
    add("gridLayout_2", "QGridLayout", "layoutWidget2", "horizontalLayout_6", 1);
    add("verticalLayout_4", "QVBoxLayout", "layoutWidget2", "horizontalLayout_6", 2);
    add("btnLdOn", "QPushButton", "layoutWidget2", "verticalLayout_4", 0);

    add("layoutWidget3", "QWidget", "groupBoxPowerSet", "");
    add("verticalLayout_5", "QVBoxLayout", "layoutWidget3", "");
    add("horizontalLayout_39", "QHBoxLayout", "layoutWidget3", "verticalLayout_5", 0);
    add("lineEditPower", "QLineEdit", "layoutWidget3", "horizontalLayout_39", 0);
    add("powerSet", "QPushButton", "layoutWidget3", "horizontalLayout_39", 1);
    add("horizontalLayout_14", "QHBoxLayout", "layoutWidget3", "verticalLayout_5", 1);
    add("lineEditAnalogPower", "QLineEdit", "layoutWidget3", "horizontalLayout_14", 0);
    add("analogPowerSet", "QPushButton", "layoutWidget3", "horizontalLayout_14", 1);

    add("gridLayout_3", "QGridLayout", "devStatus", "");
    add("verticalLayout_2", "QVBoxLayout", "devStatus", "gridLayout_3", 0, 0);
    const char *statusRows[][3] = {
        {"horizontalLayout_8", "label_6", "labelCommStat"},
        {"horizontalLayout_12", "label_16", "labelLdTemperature"},
        {"horizontalLayout_9", "label_9", "labelPowerPercent"},
        {"horizontalLayout_10", "label_12", "labelSupplyVoltage"},
        {"horizontalLayout_11", "label_14", "labelWorkHours"},
        {"horizontalLayout_16", "label_15", "labelVersion"},
    };
    for (int i = 0; i < 6; ++i) {
        add(statusRows[i][0], "QHBoxLayout", "devStatus", "verticalLayout_2", i);
        add(statusRows[i][1], "QLabel", "devStatus", statusRows[i][0], 0);
        add(statusRows[i][2], "QLabel", "devStatus", statusRows[i][0], 1);
    }
    add("groupBox_5", "QGroupBox", "devStatus", "gridLayout_3", 1, 0);
    add("gridLayout_11", "QGridLayout", "groupBox_5", "");
    add("gridLayout_10", "QGridLayout", "groupBox_5", "gridLayout_11", 0, 0);
    add("gridLayout_9", "QGridLayout", "groupBox_5", "gridLayout_10", 0, 0);
    add("gridLayout_8", "QGridLayout", "groupBox_5", "gridLayout_10", 1, 0);

    // Page 3: light-source configuration.
    add("gridLayout_14", "QGridLayout", "tab_3", "");
    add("groupBox_2", "QGroupBox", "tab_3", "gridLayout_14", 0, 0);
    add("groupBox_3", "QGroupBox", "tab_3", "gridLayout_14", 1, 0);
    add("groupBox_4", "QGroupBox", "tab_3", "gridLayout_14", 2, 0);

    add("gridLayout_5", "QGridLayout", "groupBox_2", "");
    add("horizontalLayout_38", "QHBoxLayout", "groupBox_2", "gridLayout_5", 0, 0);
    add("horizontalLayout_33", "QHBoxLayout", "groupBox_2", "horizontalLayout_38", 0);
    add("label_10", "QLabel", "groupBox_2", "horizontalLayout_33", 0);
    add("checkBoxLdEn", "QCheckBox", "groupBox_2", "horizontalLayout_33", 1);
    add("gridLayout_4", "QGridLayout", "groupBox_2", "horizontalLayout_38", 1);
    add("btnSaveLdEn", "QPushButton", "groupBox_2", "horizontalLayout_38", 2);
    add("btnGetLdEn", "QPushButton", "groupBox_2", "horizontalLayout_38", 3);

    add("layoutWidget4", "QWidget", "groupBox_3", "");
    add("horizontalLayout_15", "QHBoxLayout", "layoutWidget4", "");
    add("lineLimitPower", "QLineEdit", "layoutWidget4", "horizontalLayout_15", 0);
    add("saveLimitPower", "QPushButton", "layoutWidget4", "horizontalLayout_15", 1);
    add("getLimitPower", "QPushButton", "layoutWidget4", "horizontalLayout_15", 2);

    add("layoutWidget_2", "QWidget", "groupBox_4", "");
    add("horizontalLayout_17", "QHBoxLayout", "layoutWidget_2", "");
    add("lineSet485_ID", "QLineEdit", "layoutWidget_2", "horizontalLayout_17", 0);
    add("set485Id", "QPushButton", "layoutWidget_2", "horizontalLayout_17", 1);

    // Page 4: factory configuration.
    add("gridLayout_12", "QGridLayout", "tab_4", "");
    add("label_19", "QLabel", "tab_4", "gridLayout_12", 0, 0);
    add("lineEditConfigName", "QLineEdit", "tab_4", "gridLayout_12", 0, 1);
    add("label_7", "QLabel", "tab_4", "gridLayout_12", 1, 0);
    add("horizontalLayout_20", "QHBoxLayout", "tab_4", "gridLayout_12", 1, 1);
    add("label_11", "QLabel", "tab_4", "gridLayout_12", 2, 0);
    add("horizontalLayout_21", "QHBoxLayout", "tab_4", "gridLayout_12", 2, 1);
    add("label_13", "QLabel", "tab_4", "gridLayout_12", 3, 0);
    add("lineEditMaxDac", "QLineEdit", "tab_4", "gridLayout_12", 3, 1);
    add("label_17", "QLabel", "tab_4", "gridLayout_12", 4, 0);
    add("lineEditAlarmTemperature", "QLineEdit", "tab_4", "gridLayout_12", 4, 1);
    add("label_18", "QLabel", "tab_4", "gridLayout_12", 5, 0);
    add("lineEditCompensationHours", "QLineEdit", "tab_4", "gridLayout_12", 5, 1);
    add("horizontalLayout_13", "QHBoxLayout", "tab_4", "gridLayout_12", 7, 0);
    add("btnExportConfig", "QPushButton", "tab_4", "horizontalLayout_13", 0);
    add("btnExportConfig_2", "QPushButton", "tab_4", "horizontalLayout_13", 1);
    add("horizontalLayout_18", "QHBoxLayout", "tab_4", "gridLayout_12", 7, 1);
    add("btnSaveAllConfig", "QPushButton", "tab_4", "horizontalLayout_18", 0);
    add("btnGetAllConfig", "QPushButton", "tab_4", "horizontalLayout_18", 1);
    add("btnResetFactory", "QPushButton", "tab_4", "horizontalLayout_18", 2);

    // The per-module families: switching in three rows of four; each state
    // label directly above its module number, modules 1 to 6 in the upper
    // grid, 7 to 12 in the lower one; enabling in two rows of six; the two
    // masks of page 4 one row each, in module order.
    for (int n = 1; n <= moduleCount; ++n) {
        const QByteArray k = QByteArray::number(n);
        const int i = n - 1;
        const char *stateGrid = n <= 6 ? "gridLayout_9" : "gridLayout_8";
        add("checkBoxLdSwitch_" + k, "QCheckBox", "layoutWidget2", "gridLayout_2", i / 4, i % 4);
        add("ldStatLd_" + k, "QLabel", "groupBox_5", stateGrid, 0, i % 6);
        add("ldStat_" + k, "QLabel", "groupBox_5", stateGrid, 1, i % 6);
        add("checkBoxLd_" + k, "QCheckBox", "groupBox_2", "gridLayout_4", i / 6, i % 6);
        add("configAllLdEn_" + k, "QCheckBox", "tab_4", "horizontalLayout_20", i);
        add("configAllLowPower_" + k, "QCheckBox", "tab_4", "horizontalLayout_21", i);
    }
}

void TestForm::objectTree()
{
    QFETCH(QString, cls);
    QFETCH(QString, parent);
    QFETCH(QString, layout);
    QFETCH(int, row);
    QFETCH(int, column);

    Form form;
    const FormTree tree = formTree(&form.window);
    QObject *object = form.get(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY2(object, "no object of that name, or more than one");
    QCOMPARE(QString::fromLatin1(object->metaObject()->className()), cls);

    Place place = placeOf(tree.layouts, object);
    if (auto objectLayout = qobject_cast<QLayout *>(object)) {
        QVERIFY(tree.layouts.contains(objectLayout));
        QVERIFY(objectLayout->parentWidget());
        QCOMPARE(objectLayout->parentWidget()->objectName(), parent);
        if (layout.isEmpty())
            QCOMPARE(objectLayout->parentWidget()->layout(), objectLayout);
    } else {
        auto widget = qobject_cast<QWidget *>(object);
        QVERIFY(widget);
        QVERIFY(widget->parentWidget());
        QCOMPARE(widget->parentWidget()->objectName(), parent);
    }

    if (layout.isEmpty()) {
        QVERIFY(!place.layout);
        return;
    }
    QVERIFY2(place.layout, "not in any layout of the form");
    QCOMPARE(place.layout->objectName(), layout);
    if (column < 0) {
        QVERIFY(qobject_cast<QBoxLayout *>(place.layout));
        QCOMPARE(place.index, row);
    } else {
        QVERIFY(qobject_cast<QGridLayout *>(place.layout));
        QCOMPARE(place.row, row);
        QCOMPARE(place.column, column);
    }
}

void TestForm::moduleFamilies_data()
{
    QTest::addColumn<int>("module");
    for (int n = 1; n <= moduleCount; ++n)
        QTest::newRow(qPrintable(moduleCaption(n))) << n;
}

void TestForm::moduleFamilies()
{
    // Where each widget sits is in the object tree; here what it shows.
    QFETCH(int, module);
    const QString number = QString::number(module);
    Form form;
    for (const char *prefix : {"checkBoxLdSwitch_", "checkBoxLd_", "configAllLdEn_", "configAllLowPower_"}) {
        auto box = form.get<QCheckBox>(QString::fromLatin1(prefix) + number);
        QVERIFY2(box, prefix);
        QCOMPARE(box->text(), moduleCaption(module));
        QVERIFY(!box->isChecked());
    }
    auto state = form.get<QLabel>(QStringLiteral("ldStatLd_") + number);
    auto numberLabel = form.get<QLabel>(QStringLiteral("ldStat_") + number);
    QVERIFY(state && numberLabel);
    QCOMPARE(state->text(), QStringLiteral("关"));
    QCOMPARE(numberLabel->text(), moduleCaption(module));
    QCOMPARE(state->alignment(), Qt::AlignCenter);
    QCOMPARE(numberLabel->alignment(), Qt::AlignCenter);
}

void TestForm::gridShapes_data()
{
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("columns");
    QTest::addColumn<int>("items");

    QTest::newRow("gridLayout") << 1 << 1 << 1;
    QTest::newRow("gridLayout_6") << 7 << 1 << 7;
    QTest::newRow("gridLayout_7") << 1 << 1 << 1;
    QTest::newRow("gridLayout_2") << 3 << 4 << 12;
    QTest::newRow("gridLayout_3") << 2 << 1 << 2;
    QTest::newRow("gridLayout_11") << 1 << 1 << 1;
    QTest::newRow("gridLayout_10") << 2 << 1 << 2;
    QTest::newRow("gridLayout_9") << 2 << 6 << 12;
    QTest::newRow("gridLayout_8") << 2 << 6 << 12;
    QTest::newRow("gridLayout_14") << 3 << 1 << 3;
    QTest::newRow("gridLayout_5") << 1 << 1 << 1;
    QTest::newRow("gridLayout_4") << 2 << 6 << 12;
    QTest::newRow("gridLayout_12") << 8 << 2 << 15;
}

void TestForm::gridShapes()
{
    QFETCH(int, rows);
    QFETCH(int, columns);
    QFETCH(int, items);

    Form form;
    auto grid = form.get<QGridLayout>(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(grid);
    QCOMPARE(grid->rowCount(), rows);
    QCOMPARE(grid->columnCount(), columns);
    QCOMPARE(grid->count(), items);
}

void TestForm::layoutRules()
{
    Form form;
    const FormTree tree = formTree(&form.window);
    const QSet<QString> containers = {QStringLiteral("layoutWidget"),  QStringLiteral("layoutWidget1"),
                                      QStringLiteral("layoutWidget2"), QStringLiteral("layoutWidget3"),
                                      QStringLiteral("layoutWidget4"), QStringLiteral("layoutWidget_2")};
    int installed = 0;
    for (QLayout *layout : tree.layouts) {
        const QByteArray name = layout->objectName().toLatin1();
        QVERIFY2(layout->spacing() == 6, name);
        if (auto grid = qobject_cast<QGridLayout *>(layout)) {
            QVERIFY2(grid->horizontalSpacing() == 6, name);
            QVERIFY2(grid->verticalSpacing() == 6, name);
        }

        QWidget *owner = layout->parentWidget();
        QVERIFY2(owner, name);
        QMargins expected(0, 0, 0, 0);
        if (owner->layout() == layout) {
            ++installed;
            if (!containers.contains(owner->objectName()))
                expected = QMargins(11, 11, 11, 11);
        }
        QVERIFY2(layout->contentsMargins() == expected, name);

        // Items: one cell each in grids, stretch 0 in boxes, never aligned.
        auto box = qobject_cast<QBoxLayout *>(layout);
        auto grid = qobject_cast<QGridLayout *>(layout);
        for (int i = 0; i < layout->count(); ++i) {
            QVERIFY2(layout->itemAt(i)->alignment() == Qt::Alignment(), name);
            if (box)
                QVERIFY2(box->stretch(i) == 0, name);
            if (grid) {
                int row, column, rowSpan, columnSpan;
                grid->getItemPosition(i, &row, &column, &rowSpan, &columnSpan);
                QVERIFY2(rowSpan == 1 && columnSpan == 1, name);
            }
        }
    }
    // centralWidget, tab_2, tab_3, tab_4, devStatus, groupBox_5, groupBox_2
    // and the six containers.
    QCOMPARE(installed, 13);

    // Places shown at a fixed geometry have no layout of their own.
    const QList<QWidget *> fixed = {form.ui.tab,         form.ui.groupBoxOtherCtrl, form.ui.ldSwitchCtrl,
                                    form.ui.groupBoxPowerSet, form.ui.groupBox_3,  form.ui.groupBox_4};
    for (QWidget *widget : fixed)
        QVERIFY2(!widget->layout(), qPrintable(widget->objectName()));
}

void TestForm::layoutContainers_data()
{
    QTest::addColumn<QString>("holder");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("layout");

    QTest::newRow("layoutWidget") << "tab" << QRect(70, 60, 291, 264) << "gridLayout_6";
    QTest::newRow("layoutWidget1") << "groupBoxOtherCtrl" << QRect(10, 30, 481, 34) << "horizontalLayout_19";
    QTest::newRow("layoutWidget2") << "ldSwitchCtrl" << QRect(11, 30, 566, 99) << "horizontalLayout_6";
    QTest::newRow("layoutWidget3") << "groupBoxPowerSet" << QRect(50, 50, 379, 77) << "verticalLayout_5";
    QTest::newRow("layoutWidget4") << "groupBox_3" << QRect(70, 50, 465, 34) << "horizontalLayout_15";
    QTest::newRow("layoutWidget_2") << "groupBox_4" << QRect(60, 50, 413, 34) << "horizontalLayout_17";
}

void TestForm::layoutContainers()
{
    QFETCH(QString, holder);
    QFETCH(QRect, geometry);
    QFETCH(QString, layout);

    Form form;
    form.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form.window));
    auto container = form.get<QWidget>(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(container);
    QCOMPARE(QByteArray(container->metaObject()->className()), QByteArray("QWidget"));
    QCOMPARE(container->parentWidget()->objectName(), holder);
    // The fixed place holds, also once the window is shown and laid out.
    QCOMPARE(container->geometry(), geometry);
    QVERIFY(container->layout());
    QCOMPARE(container->layout()->objectName(), layout);
    // The container is the only thing its holder shows.
    QCOMPARE(container->parentWidget()->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly).size(), 1);
    // At the window's own size the holder is wide enough to show the whole
    // container: no button of a fixed row is cut off.
    QCOMPARE(form.window.size(), QSize(1089, 604));
    QWidget *page = container;
    while (page && form.ui.tabWidget->indexOf(page) < 0)
        page = page->parentWidget();
    QVERIFY(page);
    form.ui.tabWidget->setCurrentWidget(page);
    QTRY_VERIFY(container->parentWidget()->width() > 100);
    QVERIFY2(container->geometry().right() < container->parentWidget()->width(),
             qPrintable(QStringLiteral("%1 is %2 wide").arg(holder).arg(container->parentWidget()->width())));
}

void TestForm::spacerSitsBetweenFieldsAndButtons()
{
    Form form;
    QSpacerItem *spacer = form.ui.verticalSpacer;
    int spacerIndex = -1;
    for (int i = 0; i < form.ui.gridLayout_12->count(); ++i) {
        if (form.ui.gridLayout_12->itemAt(i) == spacer)
            spacerIndex = i;
    }
    QVERIFY(spacerIndex >= 0);
    int row, column, rowSpan, columnSpan;
    form.ui.gridLayout_12->getItemPosition(spacerIndex, &row, &column, &rowSpan, &columnSpan);
    QCOMPARE(row, 6);
    QCOMPARE(column, 1);
    QCOMPARE(spacer->sizeHint(), QSize(20, 40));
    QCOMPARE(spacer->sizePolicy().horizontalPolicy(), QSizePolicy::Minimum);
    QCOMPARE(spacer->sizePolicy().verticalPolicy(), QSizePolicy::Expanding);
    QCOMPARE(spacer->expandingDirections(), Qt::Vertical);

    // In a tall window the spare height of page 4 lies between the fields
    // and the button row: fields at the top, buttons at the bottom.
    form.window.resize(1089, 1000);
    form.ui.tabWidget->setCurrentWidget(form.ui.tab_4);
    form.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form.window));
    form.ui.gridLayout_12->activate();

    const int pageHeight = form.ui.tab_4->height();
    const int lastField = form.ui.lineEditCompensationHours->geometry().bottom();
    const int buttonsTop = form.ui.btnSaveAllConfig->geometry().top();
    QVERIFY(pageHeight > 600);
    QVERIFY2(form.ui.label_19->geometry().top() <= 20, "first row not at the top");
    QVERIFY2(pageHeight - form.ui.btnSaveAllConfig->geometry().bottom() <= 20, "buttons not at the bottom");
    QVERIFY2(buttonsTop - lastField > pageHeight / 3, "spare height not between the fields and the buttons");
    QCOMPARE(form.ui.btnExportConfig->geometry().top(), buttonsTop);
}

void TestForm::captions_data()
{
    QTest::addColumn<QString>("text");

    // Page 1.
    QTest::newRow("label_5") << QStringLiteral("设备地址");
    QTest::newRow("label") << QStringLiteral("串口选择 ");
    QTest::newRow("label_2") << QStringLiteral("波特率");
    QTest::newRow("label_3") << QStringLiteral("停止位");
    QTest::newRow("label_4") << QStringLiteral("奇偶校验位");
    QTest::newRow("checkSerial") << QStringLiteral("检测可用串口");
    QTest::newRow("switchSerial") << QStringLiteral("打开串口");
    QTest::newRow("lineEditRs485Id") << QStringLiteral("1");

    // Page 2.
    QTest::newRow("groupBoxOtherCtrl") << QStringLiteral(" 其它控制");
    QTest::newRow("ldSwitchCtrl") << QStringLiteral("激光开关控制");
    QTest::newRow("groupBoxPowerSet") << QStringLiteral(" 功率调节");
    QTest::newRow("devStatus") << QStringLiteral("  设备状态");
    QTest::newRow("groupBox_5") << QStringLiteral(" 光源开关状态");
    QTest::newRow("radioButtonAdcEnableStat") << QStringLiteral("外部模拟电压(DAC)控制");
    QTest::newRow("ldAdcOff") << QStringLiteral(" 屏蔽");
    QTest::newRow("ldAdcOn") << QStringLiteral("使能");
    QTest::newRow("label_8") << QStringLiteral("模块选择");
    QTest::newRow("ldOnOffAll") << QStringLiteral("All");
    QTest::newRow("btnLdOn") << QStringLiteral(" 开启选中");
    QTest::newRow("lineEditPower") << QString();
    QTest::newRow("powerSet") << QStringLiteral(" 功率百分比设置");
    QTest::newRow("lineEditAnalogPower") << QString();
    QTest::newRow("analogPowerSet") << QStringLiteral("模拟电压设置功率");
    QTest::newRow("label_6") << QStringLiteral(" 通讯状态");
    QTest::newRow("labelCommStat") << QStringLiteral("故障");
    QTest::newRow("label_16") << QStringLiteral(" 光源温度");
    QTest::newRow("labelLdTemperature") << QString();
    QTest::newRow("label_9") << QStringLiteral(" 光源功率");
    QTest::newRow("labelPowerPercent") << QStringLiteral("0");
    QTest::newRow("label_12") << QStringLiteral(" 供电电压");
    QTest::newRow("labelSupplyVoltage") << QStringLiteral("24V");
    QTest::newRow("label_14") << QStringLiteral(" 运行时长");
    QTest::newRow("labelWorkHours") << QStringLiteral("0H");
    QTest::newRow("label_15") << QStringLiteral(" 版本信息");
    QTest::newRow("labelVersion") << QString();

    // Page 3.
    QTest::newRow("groupBox_2") << QStringLiteral("激光使能控制");
    QTest::newRow("groupBox_3") << QStringLiteral(" 功率一致性调节( 最大功率DAC)");
    QTest::newRow("groupBox_4") << QStringLiteral("RS485地址设置");
    QTest::newRow("label_10") << QStringLiteral("  模块选择");
    QTest::newRow("checkBoxLdEn") << QStringLiteral("All");
    QTest::newRow("btnSaveLdEn") << QStringLiteral("保存配置");
    QTest::newRow("btnGetLdEn") << QStringLiteral("获取配置");
    QTest::newRow("lineLimitPower") << QString();
    QTest::newRow("saveLimitPower") << QStringLiteral("保存配置");
    QTest::newRow("getLimitPower") << QStringLiteral("获取配置");
    QTest::newRow("lineSet485_ID") << QString();
    QTest::newRow("set485Id") << QStringLiteral("保存RS485地址");

    // Page 4.
    QTest::newRow("label_19") << QStringLiteral("当前配置名称");
    QTest::newRow("lineEditConfigName") << QStringLiteral("默认值1");
    QTest::newRow("label_7") << QStringLiteral("串口模块使能掩码");
    QTest::newRow("label_11") << QStringLiteral("低功率模块使能掩码");
    QTest::newRow("label_13") << QStringLiteral("最大功率DAC");
    QTest::newRow("lineEditMaxDac") << QString();
    QTest::newRow("label_17") << QStringLiteral("报警温度阈值(℃)");
    QTest::newRow("lineEditAlarmTemperature") << QString();
    QTest::newRow("label_18") << QStringLiteral("自动补偿时长(小时)");
    QTest::newRow("lineEditCompensationHours") << QString();
    QTest::newRow("btnExportConfig") << QStringLiteral(" 导出配置");
    QTest::newRow("btnExportConfig_2") << QStringLiteral(" 导入配置");
    QTest::newRow("btnSaveAllConfig") << QStringLiteral(" 保存全部配置");
    QTest::newRow("btnGetAllConfig") << QStringLiteral("获取配置");
    QTest::newRow("btnResetFactory") << QStringLiteral(" 恢复出厂设置");
}

void TestForm::captions()
{
    QFETCH(QString, text);

    Form form;
    QObject *object = form.get(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(object);
    QString shown;
    if (auto label = qobject_cast<QLabel *>(object))
        shown = label->text();
    else if (auto button = qobject_cast<QAbstractButton *>(object))
        shown = button->text();
    else if (auto edit = qobject_cast<QLineEdit *>(object))
        shown = edit->text();
    else if (auto box = qobject_cast<QGroupBox *>(object))
        shown = box->title();
    else
        QFAIL("not a captioned widget");
    QCOMPARE(shown, text);
}

void TestForm::initialStates()
{
    Form form;
    const FormTree tree = formTree(&form.window);

    int checkBoxes = 0;
    for (QWidget *widget : tree.widgets) {
        const QByteArray name = widget->objectName().toLatin1();
        QVERIFY2(widget->styleSheet().isEmpty(), name);
        if (auto box = qobject_cast<QAbstractButton *>(widget)) {
            QVERIFY2(!box->isChecked(), name);
            if (qobject_cast<QCheckBox *>(widget))
                ++checkBoxes;
        }
    }
    QCOMPARE(checkBoxes, 50);
    QVERIFY(form.window.styleSheet().isEmpty());
    QVERIFY(!form.ui.radioButtonAdcEnableStat->isChecked());

    // Line edits: only the slave address and the configuration name start filled.
    const QList<QLineEdit *> edits = form.window.findChildren<QLineEdit *>();
    int lineEdits = 0;
    for (QLineEdit *edit : edits) {
        if (edit->objectName().isEmpty() || edit->objectName().startsWith(QLatin1String("qt_")))
            continue;
        ++lineEdits;
        QString expected;
        if (edit == form.ui.lineEditRs485Id)
            expected = QStringLiteral("1");
        else if (edit == form.ui.lineEditConfigName)
            expected = QStringLiteral("默认值1");
        QCOMPARE(edit->text(), expected);
        QVERIFY2(!edit->validator(), "validators are the window's business");
    }
    QCOMPARE(lineEdits, 9);

    // The frame is empty.
    QVERIFY(form.ui.menuBar->actions().isEmpty());
    QVERIFY(form.ui.mainToolBar->actions().isEmpty());
    QVERIFY(form.ui.toolBar->actions().isEmpty());
    QVERIFY(form.ui.statusBar->currentMessage().isEmpty());
}

void TestForm::comboLists()
{
    Form form;
    QCOMPARE(form.ui.serialName->count(), 0);
    QCOMPARE(form.ui.serialName->currentIndex(), -1);

    QCOMPARE(comboItems(form.ui.baudRate),
             QStringList({QStringLiteral("115200"), QStringLiteral("57600"), QStringLiteral("19200"),
                          QStringLiteral("9600")}));
    QCOMPARE(form.ui.baudRate->currentIndex(), 0);
    QCOMPARE(form.ui.baudRate->currentText(), QStringLiteral("115200"));

    QCOMPARE(comboItems(form.ui.stopBits),
             QStringList({QStringLiteral("1"), QStringLiteral("1.5"), QStringLiteral("2")}));
    QCOMPARE(form.ui.stopBits->currentText(), QStringLiteral("1"));

    QCOMPARE(comboItems(form.ui.paritySelect),
             QStringList({QStringLiteral("无"), QStringLiteral("奇校验"), QStringLiteral("偶校验")}));
    QCOMPARE(form.ui.paritySelect->currentText(), QStringLiteral("无"));

    // Plain lists: not editable, no user data.
    for (QComboBox *combo : {form.ui.serialName, form.ui.baudRate, form.ui.stopBits, form.ui.paritySelect}) {
        QVERIFY(!combo->isEditable());
        for (int i = 0; i < combo->count(); ++i)
            QVERIFY(!combo->itemData(i).isValid());
    }
}

void TestForm::comboListsSurviveSecondTextPass()
{
    Form form;
    const QMap<QString, QString> before = formTexts(&form.window);
    form.ui.applyFormTexts(&form.window);
    form.ui.applyFormTexts(&form.window);

    QCOMPARE(form.ui.baudRate->count(), 4);
    QCOMPARE(form.ui.stopBits->count(), 3);
    QCOMPARE(form.ui.paritySelect->count(), 3);
    QCOMPARE(form.ui.serialName->count(), 0);
    QCOMPARE(form.ui.baudRate->currentText(), QStringLiteral("115200"));
    QCOMPARE(form.ui.stopBits->currentText(), QStringLiteral("1"));
    QCOMPARE(form.ui.paritySelect->currentText(), QStringLiteral("无"));
    // And nothing else changed either.
    QCOMPARE(formTexts(&form.window), before);
}

void TestForm::tips()
{
    Form form;
    const FormTree tree = formTree(&form.window);
    QMap<QString, QString> toolTips;
    toolTips[QStringLiteral("radioButtonAdcEnableStat")] = QStringLiteral(" 数字控制需要先屏蔽外部ADC控制");
    toolTips[QStringLiteral("btnLdOn")] = QStringLiteral("未选中的会被关闭");
    toolTips[QStringLiteral("lineEditPower")] = QStringLiteral("0~1000代表0%~100.0%");
    toolTips[QStringLiteral("lineEditAnalogPower")] = QStringLiteral("0-3200MV");
    toolTips[QStringLiteral("label_11")] =
        QStringLiteral("默认全选； 需要1.2V 分界的， 当前RS485 的10W选择6 号；20W的 选择5号和6 号");
    QMap<QString, QString> statusTips;
    statusTips[QStringLiteral("lineLimitPower")] = QStringLiteral(" 该值限制为2800~3980");

    for (QWidget *widget : tree.widgets) {
        const QString name = widget->objectName();
        QCOMPARE(widget->toolTip(), toolTips.value(name));
        QCOMPARE(widget->statusTip(), statusTips.value(name));
        QVERIFY2(widget->whatsThis().isEmpty(), qPrintable(name));
    }
}

void TestForm::framesAndAlignment()
{
    Form form;
    const QSet<QString> values = {QStringLiteral("labelCommStat"),      QStringLiteral("labelLdTemperature"),
                                  QStringLiteral("labelPowerPercent"),  QStringLiteral("labelSupplyVoltage"),
                                  QStringLiteral("labelWorkHours"),     QStringLiteral("labelVersion")};
    const QSet<QString> boxed = {QStringLiteral("label_19"), QStringLiteral("label_7"),  QStringLiteral("label_11"),
                                 QStringLiteral("label_13"), QStringLiteral("label_17"), QStringLiteral("label_18")};
    const QLabel plain;
    int labels = 0;
    for (QWidget *widget : formTree(&form.window).widgets) {
        auto label = qobject_cast<QLabel *>(widget);
        if (!label)
            continue;
        ++labels;
        const QString name = label->objectName();
        const QByteArray tag = name.toLatin1();
        if (values.contains(name)) {
            QVERIFY2(label->frameShape() == QFrame::Panel, tag);
            QVERIFY2(label->frameShadow() == QFrame::Plain, tag);
        } else if (boxed.contains(name)) {
            QVERIFY2(label->frameShape() == QFrame::Box, tag);
            QVERIFY2(label->frameShadow() == plain.frameShadow(), tag);
        } else {
            QVERIFY2(label->frameShape() == QFrame::NoFrame, tag);
        }

        if (name.startsWith(QLatin1String("ldStat")))
            QVERIFY2(label->alignment() == Qt::AlignCenter, tag);
        else
            QVERIFY2(label->alignment() == plain.alignment(), tag);
        QVERIFY2(!label->wordWrap(), tag);
    }
    QCOMPARE(labels, 49);
}

void TestForm::sizePolicies_data()
{
    QTest::addColumn<QSizePolicy::Policy>("horizontal");
    QTest::addColumn<QSizePolicy::Policy>("vertical");
    QTest::addColumn<int>("minimumWidth");

    QTest::newRow("serialName") << QSizePolicy::Preferred << QSizePolicy::Fixed << 0;
    QTest::newRow("stopBits") << QSizePolicy::Expanding << QSizePolicy::Fixed << 0;
    QTest::newRow("paritySelect") << QSizePolicy::Expanding << QSizePolicy::Fixed << 70;
    QTest::newRow("lineLimitPower") << QSizePolicy::Minimum << QSizePolicy::Fixed << 0;
    QTest::newRow("lineSet485_ID") << QSizePolicy::Minimum << QSizePolicy::Fixed << 0;
    // Class defaults where nothing is set.
    QTest::newRow("baudRate") << QComboBox().sizePolicy().horizontalPolicy()
                              << QComboBox().sizePolicy().verticalPolicy() << 0;
    QTest::newRow("lineEditRs485Id") << QLineEdit().sizePolicy().horizontalPolicy()
                                     << QLineEdit().sizePolicy().verticalPolicy() << 0;
    QTest::newRow("lineEditMaxDac") << QLineEdit().sizePolicy().horizontalPolicy()
                                    << QLineEdit().sizePolicy().verticalPolicy() << 0;
}

void TestForm::sizePolicies()
{
    QFETCH(QSizePolicy::Policy, horizontal);
    QFETCH(QSizePolicy::Policy, vertical);
    QFETCH(int, minimumWidth);

    Form form;
    auto widget = form.get<QWidget>(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(widget);
    const QSizePolicy policy = widget->sizePolicy();
    QCOMPARE(policy.horizontalPolicy(), horizontal);
    QCOMPARE(policy.verticalPolicy(), vertical);
    QCOMPARE(policy.horizontalStretch(), 0);
    QCOMPARE(policy.verticalStretch(), 0);
    QCOMPARE(widget->minimumWidth(), minimumWidth);
    QCOMPARE(widget->minimumHeight(), 0);

    // The height-for-width flag stays the class's own.
    std::unique_ptr<QWidget> fresh;
    if (qobject_cast<QComboBox *>(widget))
        fresh.reset(new QComboBox);
    else
        fresh.reset(new QLineEdit);
    QCOMPARE(policy.hasHeightForWidth(), fresh->sizePolicy().hasHeightForWidth());
}

void TestForm::fonts()
{
    Form form;
    const QFont font = form.ui.tabWidget->font();
    QCOMPARE(font.family(), QStringLiteral("仿宋"));
    QCOMPARE(font.pointSize(), 14);
    // Only family and size are set; everything else is the default.
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    // Qt 6 keeps a family as a list of families.
    QCOMPARE(font.resolveMask(), uint(QFont::FamiliesResolved | QFont::SizeResolved));
#else
    QCOMPARE(font.resolve(), uint(QFont::FamilyResolved | QFont::SizeResolved));
#endif
    QCOMPARE(font.bold(), false);
    QCOMPARE(font.italic(), false);
    QCOMPARE(font.underline(), false);
    QCOMPARE(font.strikeOut(), false);

    // The tab widget is the only widget with a font of its own; its pages
    // and everything on them inherit it, the frame does not.
    for (QWidget *widget : formTree(&form.window).widgets) {
        const QByteArray name = widget->objectName().toLatin1();
        QVERIFY2(widget->testAttribute(Qt::WA_SetFont) == (widget == form.ui.tabWidget), name);
        const bool onTabs = form.ui.tabWidget->isAncestorOf(widget) || widget == form.ui.tabWidget;
        QVERIFY2((widget->font().family() == QStringLiteral("仿宋")) == onTabs, name);
        if (onTabs)
            QVERIFY2(widget->font().pointSize() == 14, name);
    }
    QVERIFY(!form.window.testAttribute(Qt::WA_SetFont));
    QCOMPARE(form.ui.tabWidget->tabBar()->font().family(), QStringLiteral("仿宋"));
}

void TestForm::tabWidgetBehaviour()
{
    Form form;
    QTabWidget *tabs = form.ui.tabWidget;
    QCOMPARE(tabs->count(), 4);
    QCOMPARE(tabs->tabPosition(), QTabWidget::North);
    QCOMPARE(tabs->tabShape(), QTabWidget::Rounded);
    QCOMPARE(tabs->elideMode(), Qt::ElideNone);
    QCOMPARE(tabs->usesScrollButtons(), true);
    QCOMPARE(tabs->tabsClosable(), false);
    QCOMPARE(tabs->isMovable(), true);
    QCOMPARE(tabs->tabBarAutoHide(), false);
    QCOMPARE(tabs->documentMode(), false);
    QCOMPARE(tabs->currentIndex(), 0);
    QCOMPARE(tabs->currentWidget(), form.ui.tab);
    QVERIFY(tabs->tabBar()->isMovable());
}

void TestForm::tabTitlesFollowPages()
{
    Form form;
    QTabWidget *tabs = form.ui.tabWidget;
    const QList<QWidget *> pages = {form.ui.tab, form.ui.tab_2, form.ui.tab_3, form.ui.tab_4};
    const QStringList names = {QStringLiteral("tab"), QStringLiteral("tab_2"), QStringLiteral("tab_3"),
                               QStringLiteral("tab_4")};
    const QStringList titles = {QStringLiteral("串口通讯配置"), QStringLiteral("设备控制"),
                                QStringLiteral(" 光源配置"), QStringLiteral(" 出厂配置")};
    auto checkTitles = [&] {
        for (int i = 0; i < pages.size(); ++i) {
            QCOMPARE(pages[i]->objectName(), names[i]);
            QCOMPARE(QByteArray(pages[i]->metaObject()->className()), QByteArray("QWidget"));
            QVERIFY(tabs->indexOf(pages[i]) >= 0);
            QCOMPARE(tabs->tabText(tabs->indexOf(pages[i])), titles[i]);
        }
    };

    for (int i = 0; i < pages.size(); ++i)
        QCOMPARE(tabs->indexOf(pages[i]), i);
    checkTitles();
    if (QTest::currentTestFailed())
        return;

    // The operator drags the first tab to the end, then the new first tab
    // one place on: the titles go with their pages, only the indexes change.
    tabs->tabBar()->moveTab(0, 3);
    QCOMPARE(tabs->indexOf(form.ui.tab), 3);
    QCOMPARE(tabs->indexOf(form.ui.tab_2), 0);
    checkTitles();
    if (QTest::currentTestFailed())
        return;
    tabs->tabBar()->moveTab(0, 1);
    QCOMPARE(tabs->indexOf(form.ui.tab_3), 0);
    QCOMPARE(tabs->indexOf(form.ui.tab_2), 1);
    checkTitles();
    if (QTest::currentTestFailed())
        return;

    // Setting the texts again finds each tab by its page.
    form.ui.applyFormTexts(&form.window);
    QCOMPARE(tabs->indexOf(form.ui.tab), 3);
    checkTitles();
}

void TestForm::windowFrame()
{
    Form form;
    QMainWindow &window = form.window;
    QCOMPARE(window.windowTitle(), QStringLiteral("VORTANIX    V1.10"));
    QCOMPARE(window.size(), QSize(1089, 604));

    QCOMPARE(window.centralWidget(), form.ui.centralWidget);
    QCOMPARE(window.menuBar(), form.ui.menuBar);
    QCOMPARE(window.statusBar(), form.ui.statusBar);
    QCOMPARE(form.ui.menuBar->geometry(), QRect(0, 0, 1089, 26));

    QCOMPARE(window.toolBarArea(form.ui.mainToolBar), Qt::TopToolBarArea);
    QCOMPARE(window.toolBarArea(form.ui.toolBar), Qt::TopToolBarArea);
    QVERIFY(!window.toolBarBreak(form.ui.mainToolBar));
    QVERIFY(!window.toolBarBreak(form.ui.toolBar));
    QCOMPARE(form.ui.toolBar->windowTitle(), QStringLiteral("toolBar"));
    QVERIFY(form.ui.mainToolBar->windowTitle().isEmpty());

    // Both tool bars share the top row, toolBar after mainToolBar.
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(form.ui.toolBar->y(), form.ui.mainToolBar->y());
    QVERIFY(form.ui.toolBar->x() > form.ui.mainToolBar->x());
    QCOMPARE(window.size(), QSize(1089, 604));
}

void TestForm::windowNaming()
{
    Form unnamed;
    QCOMPARE(unnamed.window.objectName(), QStringLiteral("MainWindow"));

    QMainWindow named;
    named.setObjectName(QStringLiteral("panel"));
    MainWindowForm ui;
    ui.buildForm(&named);
    QCOMPARE(named.objectName(), QStringLiteral("panel"));
    QCOMPARE(ui.centralWidget->parentWidget(), &named);
    QCOMPARE(named.windowTitle(), QStringLiteral("VORTANIX    V1.10"));
}

void TestForm::everyWidgetEnabledAndShown()
{
    Form form;
    form.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form.window));
    const FormTree tree = formTree(&form.window);
    for (QWidget *widget : tree.widgets)
        QVERIFY2(widget->isEnabled(), qPrintable(widget->objectName()));

    const QList<QWidget *> pages = {form.ui.tab, form.ui.tab_2, form.ui.tab_3, form.ui.tab_4};
    for (QWidget *page : pages) {
        form.ui.tabWidget->setCurrentWidget(page);
        QVERIFY(page->isVisible());
        for (QWidget *widget : tree.widgets) {
            if (page->isAncestorOf(widget))
                QVERIFY2(widget->isVisible(), qPrintable(widget->objectName()));
        }
    }
    for (QWidget *widget : {static_cast<QWidget *>(form.ui.centralWidget), static_cast<QWidget *>(form.ui.tabWidget),
                            static_cast<QWidget *>(form.ui.menuBar), static_cast<QWidget *>(form.ui.mainToolBar),
                            static_cast<QWidget *>(form.ui.toolBar), static_cast<QWidget *>(form.ui.statusBar)})
        QVERIFY2(widget->isVisible(), qPrintable(widget->objectName()));
}

void TestForm::textsUseMainWindowContext()
{
    Form form;
    const QMap<QString, QString> original = formTexts(&form.window);

    RecordingTranslator translator;
    QVERIFY(QCoreApplication::installTranslator(&translator));
    // Installing asks the translator for the application's own texts.
    translator.requests.clear();
    form.ui.applyFormTexts(&form.window);
    QCoreApplication::removeTranslator(&translator);

    // Every look-up: context "MainWindow", no disambiguation, no count.
    QVERIFY(!translator.requests.isEmpty());
    QSet<QString> sources;
    for (const RecordingTranslator::Request &request : qAsConst(translator.requests)) {
        QCOMPARE(request.context, QStringLiteral("MainWindow"));
        QVERIFY2(!request.hasDisambiguation, qPrintable(request.source));
        QCOMPARE(request.n, -1);
        sources.insert(request.source);
    }
    // Blanks belong to the source texts.
    const QStringList samples = {QStringLiteral("VORTANIX    V1.10"), QStringLiteral(" 屏蔽"),
                                 QStringLiteral("  设备状态"),        QStringLiteral(" 光源配置"),
                                 QStringLiteral("串口选择 "),         QStringLiteral("  模块选择"),
                                 QStringLiteral(" 该值限制为2800~3980"), QStringLiteral("115200"),
                                 QStringLiteral("toolBar"),           QStringLiteral("12#")};
    for (const QString &sample : samples)
        QVERIFY2(sources.contains(sample), qPrintable(sample));

    // Every non-empty text of the form went through the translation: each
    // now shows the translator's marker in front of the original.
    const QMap<QString, QString> translated = formTexts(&form.window);
    QCOMPARE(translated.keys(), original.keys());
    for (auto it = original.cbegin(); it != original.cend(); ++it) {
        const QString shown = translated.value(it.key());
        if (it.key().endsWith(QLatin1String(".count")) || it.value().isEmpty())
            QVERIFY2(shown == it.value(), qPrintable(it.key()));
        else
            QVERIFY2(shown == RecordingTranslator::marker() + it.value(), qPrintable(it.key()));
    }

    // Without the translator the texts are the original ones again.
    form.ui.applyFormTexts(&form.window);
    QCOMPARE(formTexts(&form.window), original);
}

void TestForm::slotsConnectedByName_data()
{
    QTest::addColumn<QString>("call");

    QTest::newRow("checkSerial") << "checkSerial";
    QTest::newRow("switchSerial") << "switchSerial";
    QTest::newRow("ldOnOffAll") << "ldOnOffAll(1)";
    QTest::newRow("checkBoxLdEn") << "checkBoxLdEn(1)";
    QTest::newRow("btnLdOn") << "btnLdOn";
    QTest::newRow("powerSet") << "powerSet";
    QTest::newRow("ldAdcOff") << "ldAdcOff";
    QTest::newRow("ldAdcOn") << "ldAdcOn";
    QTest::newRow("analogPowerSet") << "analogPowerSet";
    QTest::newRow("btnSaveLdEn") << "btnSaveLdEn";
    QTest::newRow("btnGetLdEn") << "btnGetLdEn";
    QTest::newRow("saveLimitPower") << "saveLimitPower";
    QTest::newRow("getLimitPower") << "getLimitPower";
    QTest::newRow("set485Id") << "set485Id";
    QTest::newRow("btnSaveAllConfig") << "btnSaveAllConfig";
    QTest::newRow("btnGetAllConfig") << "btnGetAllConfig";
    QTest::newRow("btnResetFactory") << "btnResetFactory";
    QTest::newRow("btnExportConfig") << "btnExportConfig";
    QTest::newRow("btnExportConfig_2") << "btnExportConfig_2";
    // Clicks without a slot.
    QTest::newRow("radioButtonAdcEnableStat") << "";
    QTest::newRow("checkBoxLdSwitch_1") << "";
    QTest::newRow("checkBoxLd_7") << "";
    QTest::newRow("configAllLdEn_3") << "";
    QTest::newRow("configAllLowPower_12") << "";
}

void TestForm::slotsConnectedByName()
{
    QFETCH(QString, call);

    RecordingWindow window;
    MainWindowForm ui;
    capturedMessages.clear();
    const QtMessageHandler previous = qInstallMessageHandler(captureMessage);
    ui.buildForm(&window);
    qInstallMessageHandler(previous);
    // A slot whose widget is missing or renamed is reported while connecting.
    QVERIFY2(capturedMessages.isEmpty(), qPrintable(capturedMessages.join(QLatin1Char('\n'))));
    QVERIFY(window.calls.isEmpty());

    const QList<QAbstractButton *> found =
        window.findChildren<QAbstractButton *>(QString::fromLatin1(QTest::currentDataTag()));
    QCOMPARE(found.size(), 1);
    found.first()->click();
    const QStringList expected = call.isEmpty() ? QStringList() : QStringList(call);
    QCOMPARE(window.calls, expected);
}

void TestForm::tabSlotsConnectedAfterBuild()
{
    RecordingWindow window;
    MainWindowForm ui;
    ui.buildForm(&window);
    // Appending the pages and choosing the first happen before the slots are
    // connected: nothing was called while building.
    QVERIFY(window.calls.isEmpty());

    ui.tabWidget->setCurrentIndex(2);
    QCOMPARE(window.calls, QStringList(QStringLiteral("tabWidget(2)")));
    ui.tabWidget->setCurrentWidget(ui.tab);
    QCOMPARE(window.calls.last(), QStringLiteral("tabWidget(0)"));
    QCOMPARE(window.calls.size(), 2);

    // The tab widget's destruction reaches its slot.
    window.calls.clear();
    QPointer<QTabWidget> tabs = ui.tabWidget;
    delete ui.tabWidget;
    QVERIFY(tabs.isNull());
    QVERIFY(window.calls.contains(QStringLiteral("tabWidget destroyed")));
    QCOMPARE(window.calls.count(QStringLiteral("tabWidget destroyed")), 1);
}

QTEST_MAIN(TestForm)
#include "tst_form.moc"
