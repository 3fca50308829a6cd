#pragma once
// Where the main window goes on a screen.

#include <QMargins>
#include <QRect>
#include <QSize>

// Room left for the title bar and borders: the window manager frames the window
// only once it is shown, so its real frame is not known when the place is chosen.
inline constexpr QMargins WindowFrameAllowance{4, 32, 4, 4};

// The client rectangle for a window stored at client whose frame adds frame: the
// stored one when it fits the screen's available area; otherwise each side larger
// than the area shrinks to it (never below minimum), and a window that would reach
// past the area moves just inside it.
QRect FitToAvailable(const QRect& client, const QMargins& frame, const QSize& minimum, const QRect& available);
