// Start-up and shut-down of the window program.

#include <QApplication>

#include "base/Exception.h"
#include "toolkit/ExceptionReport.h"
#include "window/Serial_main.h"
#include "window/Unit2.h"

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    try {
        Form1 = new TForm1();
        Form2 = new TForm2();
        Form1->show();
        application.exec();
    } catch (const std::exception& e) {
        // Start-up failures are shown like any other; the program still ends normally.
        ReportException(e.what());
    }
    // Destroying the window closes an open port and connection without a log line.
    delete Form2;
    delete Form1;
    return 0;
}
