// A reference beside the start-up baseline: a bare Qt Widgets program that
// shows one window with one line of text. Drawing text is what brings in the
// font configuration, the font list and the first font, which a window
// without text never loads; every card pays for them.
#include <QApplication>
#include <QLabel>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QLabel window(QStringLiteral("Cold start 1"));
    window.setWindowTitle(QStringLiteral("fw-baseline-text"));
    window.show();
    return app.exec();
}
