#include "window/WindowPlacement.h"

#include <algorithm>

QRect FitToAvailable(const QRect& client, const QMargins& frame, const QSize& minimum, const QRect& available) {
    const QRect room = available.marginsRemoved(frame);
    const QSize size = client.size().boundedTo(room.size()).expandedTo(minimum);
    const auto inside = [](int at, int length, int first, int last) {
        return std::clamp(at, first, std::max(first, last + 1 - length));
    };
    return {inside(client.x(), size.width(), room.left(), room.right()),
            inside(client.y(), size.height(), room.top(), room.bottom()), size.width(), size.height()};
}
