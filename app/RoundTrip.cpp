#include "app/RoundTrip.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <memory>

#include "window/Serial_main.h"

namespace {

constexpr int StepTimeoutMs = 5000;

// Runs the steps in turn; each waits until its condition holds, then acts.
struct TScript {
    struct TStep {
        const char* Waiting; // what a time-out says
        std::function<bool()> Ready;
        std::function<void()> Act;
    };
    std::vector<TStep> Steps;
    size_t Next = 0;
    QElapsedTimer Clock;
    QTimer Poll;
};

void TypeText(QWidget* target, const QString& text) {
    for (QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_0 + (c.unicode() - '0'), Qt::NoModifier, QString(c));
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_0 + (c.unicode() - '0'), Qt::NoModifier, QString(c));
        QApplication::sendEvent(target, &press);
        QApplication::sendEvent(target, &release);
    }
}

void Finish(TForm1& form, const QString& screenshotPath) {
    const QString log = form.Memo1->toPlainText();
    std::printf("--- the window's log ---\n%s\n------------------------\n", log.toLocal8Bit().constData());
    if (form.grab().save(screenshotPath))
        std::printf("screenshot: %s\n", screenshotPath.toLocal8Bit().constData());
    else
        std::printf("screenshot: could not be saved to %s\n", screenshotPath.toLocal8Bit().constData());
    const bool ok = log.split('\n').contains(QStringLiteral("SetID_OK"));
    std::printf("%s\n", ok ? "round trip: SetID_OK" : "round trip: no SetID_OK");
    std::fflush(stdout);
    QApplication::exit(ok ? 0 : 1);
}

} // namespace

void StartRoundTrip(TForm1& form, const QString& screenshotPath) {
    auto script = std::make_shared<TScript>();
    TForm1* f = &form;
    auto logged = [f] {
        const QStringList lines = f->Memo1->toPlainText().split('\n');
        return lines.contains(QStringLiteral("SetID_OK")) || lines.contains(QStringLiteral("Error"));
    };
    script->Steps = {
        {"the window", [f] { return f->isVisible(); },
         [f] {
             f->RadioButton2->click();
             f->BB_PortSwitch->click();
         }},
        {"the TCP connection", [f] { return f->ClientSocket1->Active(); },
         [f] {
             f->RadioButton3->click();
             f->CSpinEdit5->Editor()->setFocus();
             f->CSpinEdit5->Editor()->selectAll();
             TypeText(f->CSpinEdit5->Editor(), QStringLiteral("5"));
             f->BitBtn1->click();
         }},
        {"the device's answer", logged, [] {}},
    };
    QObject::connect(&script->Poll, &QTimer::timeout, f, [script, f, screenshotPath] {
        TScript::TStep& step = script->Steps[script->Next];
        if (step.Ready()) {
            step.Act();
            script->Clock.restart();
            if (++script->Next == script->Steps.size()) {
                script->Poll.stop();
                // The last line has been written; let the window paint it before the picture.
                QTimer::singleShot(200, f, [f, screenshotPath] { Finish(*f, screenshotPath); });
            }
        } else if (script->Clock.elapsed() > StepTimeoutMs) {
            std::printf("round trip: no %s within %d ms\n", step.Waiting, StepTimeoutMs);
            script->Poll.stop();
            Finish(*f, screenshotPath);
        }
    });
    script->Clock.start();
    script->Poll.start(20);
}
