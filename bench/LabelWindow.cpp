// The smallest Qt Widgets window: one label. bench/compare measures Kaldora's start-up,
// memory and threads against it, as the floor that any Qt 6 window pays.

#include <QApplication>
#include <QLabel>

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QLabel label(QStringLiteral("Kaldora"));
    label.setWindowTitle(QStringLiteral("Label window"));
    label.resize(320, 120);
    label.show();
    return application.exec();
}
