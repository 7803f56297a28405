// Program entry of fwupdate: starts the window.
#include <QApplication>
#include <QMainWindow>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QMainWindow window;
    window.setWindowTitle("FW-Update OEM=19 V1.4");
    window.show();
    return app.exec();
}
