#pragma once
// Window-internal: how a text typed into the window becomes bytes on the wire.

#include <QByteArray>
#include <QString>
#include <QStringEncoder>
#include <string>

// Texts reach the device in the window's code page, Big5; ASCII is the same either way.
inline std::string DeviceBytes(const QString& text) {
    QStringEncoder big5("Big5");
    if (!big5.isValid()) return text.toStdString();
    const QByteArray bytes = big5.encode(text);
    return bytes.toStdString();
}
