// The start-up baseline: a bare Qt Widgets program that shows one window.
#include <QApplication>
#include <QWidget>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("fw-baseline"));
    window.resize(172, 88);
    window.show();
    return app.exec();
}
