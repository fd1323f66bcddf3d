// SPDX-License-Identifier: MIT
#ifndef OSMLIKE_H
#define OSMLIKE_H

#include <QByteArray>
#include <QIODevice>
#include <QRandomGenerator>

// Writes an OpenStreetMap-like document of about `bytes` bytes, the same for every
// run: nodes with lat and lon attributes, each with a tag element. False when the
// device fails.
inline bool writeOsmLike(QIODevice &out, qint64 bytes)
{
    QRandomGenerator random(20261206);
    QByteArray text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<osm version=\"0.6\">\n";
    qint64 written = 0;
    for (qint64 id = 1; written + text.size() < bytes; ++id) {
        text += " <node id=\"" + QByteArray::number(id) + "\" lat=\"" +
                QByteArray::number(random.bounded(180.0) - 90, 'f', 7) + "\" lon=\"" +
                QByteArray::number(random.bounded(360.0) - 180, 'f', 7) +
                "\" version=\"1\">\n  <tag k=\"name\" v=\"n" + QByteArray::number(id) +
                "\"/>\n </node>\n";
        if (text.size() > (1 << 20)) {
            if (out.write(text) != text.size())
                return false;
            written += text.size();
            text.clear();
        }
    }
    text += "</osm>\n";
    return out.write(text) == text.size();
}

#endif // OSMLIKE_H
