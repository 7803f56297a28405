// WithVSKFWLAYOUT<T>: a window of type T that carries the controls of the layout VSKFWLAYOUT (vskfwlayout.ui)
// as members named by their layout ids. The window uses the design font, with which one layout unit is one
// (device-independent) pixel.
#pragma once

#include <QFont>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPushButton>
#include <QSize>
#include <QVBoxLayout>
#include <QWidget>
#include <type_traits>

#include "app/qt/droplist.h"
#include "app/qt/editint.h"
#include "app/vskfwlayoutitems.h"
#include "ui_vskfwlayout.h"

// The widget that holds the layout's controls. It keeps the stretched items (CONNECT) at their margins
// when its width changes.
class VskFwView : public QWidget {
public:
    explicit VskFwView(QWidget* parent = nullptr) : QWidget(parent) {}

protected:
    void resizeEvent(QResizeEvent* event) override;
};

struct VskFwLayoutInfo {
    // Design size in layout units.
    static constexpr int kWidth = kLayoutWidth;
    static constexpr int kHeight = kLayoutHeight;
    // CONNECT is stretched: these margins from the left and right edges of the view.
    static constexpr int kConnectLeft = FindLayoutItem("CONNECT")->X;
    static constexpr int kConnectRight = FindLayoutItem("CONNECT")->RightMargin;

    // The design font: the standard GUI font's family at the pixel size the layout was drawn for.
    static constexpr int kDesignFontPixels = 11;

    static QSize GetLayoutSize() { return {kWidth, kHeight}; }
    static QFont DesignFont();
    // Places, labels and inserts the controls into view, in list order, and names them by their ids.
    static void Layout(Ui_VSKFWLAYOUT& form, VskFwView* view);
};

template <class T> class WithVSKFWLAYOUT : public T, public VskFwLayoutInfo {
    static_assert(std::is_base_of_v<QWidget, T>);

private:
    // A main window keeps the controls in its central widget so that its status bar stays below them; any
    // other window is filled by that widget.
    VskFwView* MakeView() {
        auto* v = new VskFwView(this); // owned by the window (Qt parent)
        if constexpr (std::is_base_of_v<QMainWindow, T>) {
            this->setCentralWidget(v);
        } else {
            auto* box = new QVBoxLayout(this); // owned by the window
            box->setContentsMargins(0, 0, 0, 0);
            box->addWidget(v);
        }
        this->setFont(DesignFont()); // the controls and the status bar inherit it
        Layout(form, v);
        this->setObjectName(QStringLiteral("VSKFWLAYOUT"));
        return v;
    }

    Ui_VSKFWLAYOUT form;
    VskFwView* view = MakeView();

public:
    // The controls, in list order.
    QPushButton& CONNECT = *form.CONNECT;
    QLabel& DATE = *form.DATE;
    QLabel& dv___2 = *form.dv___2;
    QLabel& dv___3 = *form.dv___3;
    QLabel& dv___4 = *form.dv___4;
    QLabel& dv___5 = *form.dv___5;
    QLabel& dv___6 = *form.dv___6;
    QLabel& dv___7 = *form.dv___7;
    QLabel& dv___8 = *form.dv___8;
    QLabel& DSPMODSERIAL = *form.DSPMODSERIAL;
    QLabel& DSPMODNAME = *form.DSPMODNAME;
    QLabel& MODE = *form.MODE;
    QLabel& OEMLIBNAME = *form.OEMLIBNAME;
    QLabel& OEMUSERNAME = *form.OEMUSERNAME;
    QLabel& OEMDEVICENAME = *form.OEMDEVICENAME;
    QLabel& dv___15 = *form.dv___15;
    DropList& KENNUNG = *form.KENNUNG;
    QLabel& VERSION = *form.VERSION;
    QLabel& dv___18 = *form.dv___18;
    QPushButton& UPDATEFIRMWARE = *form.UPDATEFIRMWARE;
    EditInt& EDITPORT = *form.EDITPORT;
    QLabel& dv___21 = *form.dv___21;
    QLineEdit& IP = *form.IP;

    // The widget that holds the controls.
    QWidget& LayoutView() { return *view; }
};
