// Waiting for a window's first drawing before the rest of the start.

#include <QElapsedTimer>
#include <QWidget>
#include <QWindow>
#include <gtest/gtest.h>

#include "toolkit/FirstPaint.h"

namespace {

class TPaintCounter : public QWidget {
public:
    int Paints = 0;

protected:
    void paintEvent(QPaintEvent*) override { ++Paints; }
};

} // namespace

TEST(FirstPaint, EndsWhenTheWindowIsDrawnOrAtTheLimit) {
    using namespace std::chrono_literals;
    QElapsedTimer clock;

    TPaintCounter shown;
    shown.resize(200, 100);
    shown.show();
    clock.start();
    WaitForFirstPaint(shown, 10s);
    EXPECT_GT(shown.Paints, 0) << "the wait ends only once the window has been drawn";
    EXPECT_LT(clock.elapsed(), 5000);
    clock.restart();
    WaitForFirstPaint(shown, 10s);
    EXPECT_LT(clock.elapsed(), 1000) << "a window already on the screen is not waited for";

    TPaintCounter neverOnScreen; // shown, but the screen never exposes it
    neverOnScreen.setAttribute(Qt::WA_DontShowOnScreen);
    neverOnScreen.show();
    clock.restart();
    WaitForFirstPaint(neverOnScreen, 50ms);
    EXPECT_GE(clock.elapsed(), 50);
    EXPECT_FALSE(neverOnScreen.windowHandle() && neverOnScreen.windowHandle()->isExposed());

    TPaintCounter neverShown;
    clock.restart();
    WaitForFirstPaint(neverShown, 10s);
    EXPECT_LT(clock.elapsed(), 1000) << "a window without a native window has nothing to wait for";
}
