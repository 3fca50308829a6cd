#pragma once
// Window-internal: how a text typed into the window becomes bytes on the wire.

#include <QByteArray>
#include <QString>
#include <QStringEncoder>
#include <algorithm>
#include <string>

// Texts reach the device in the window's code page, Big5; ASCII is the same either
// way, and is taken as it is: the first Big5 conversion loads the code tables, which
// would hold up a command's first frame by some 10 ms.
inline std::string DeviceBytes(const QString& text) {
    if (std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; })) return text.toStdString();
    QStringEncoder big5("Big5");
    if (!big5.isValid()) return text.toStdString();
    const QByteArray bytes = big5.encode(text);
    return bytes.toStdString();
}
