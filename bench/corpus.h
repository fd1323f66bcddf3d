// SPDX-License-Identifier: MIT
#ifndef CORPUS_H
#define CORPUS_H

#include "osmlike.h"

#include <QByteArray>
#include <QIODevice>
#include <QRandomGenerator>

// Generated documents for the benchmark, each the same on every run. The attribute
// each one is meant to be adjusted on is given by corpusAttribute().

namespace corpus {

inline QByteArray number(QRandomGenerator &random, double low, double high, int decimals)
{
    return QByteArray::number(low + random.bounded(high - low), 'f', decimals);
}

inline bool flushed(QIODevice &out, QByteArray &text, bool last = false)
{
    if (!last && text.size() < (1 << 20))
        return true;
    const bool written = out.write(text) == text.size();
    text.clear();
    return written;
}

// Drawing-like: many attributes per element, path data and transforms of a few
// hundred characters, coordinates in x.
inline bool writeSvgLike(QIODevice &out, qint64 bytes)
{
    QRandomGenerator random(20261207);
    QByteArray text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"4000\" height=\"3000\" "
                      "viewBox=\"0 0 4000 3000\">\n";
    qint64 written = 0;
    for (qint64 id = 1; written + text.size() < bytes; ++id) {
        QByteArray path = "M " + number(random, 0, 4000, 3) + ' ' + number(random, 0, 3000, 3);
        const int segments = 8 + int(random.bounded(24));
        for (int s = 0; s < segments; ++s)
            path += " C " + number(random, 0, 4000, 3) + ',' + number(random, 0, 3000, 3) + ' ' +
                    number(random, 0, 4000, 3) + ',' + number(random, 0, 3000, 3) + ' ' +
                    number(random, 0, 4000, 3) + ',' + number(random, 0, 3000, 3);
        text += " <g id=\"g" + QByteArray::number(id) + "\" transform=\"translate(" +
                number(random, -50, 50, 2) + ' ' + number(random, -50, 50, 2) + ") rotate(" +
                number(random, 0, 360, 1) + ")\" opacity=\"0.9\">\n  <rect id=\"r" +
                QByteArray::number(id) + "\" x=\"" + number(random, -100, 4000, 4) + "\" y=\"" +
                number(random, -100, 3000, 4) + "\" width=\"" + number(random, 1, 400, 2) +
                "\" height=\"" + number(random, 1, 300, 2) + "\" rx=\"3\" fill=\"#" +
                QByteArray::number(random.bounded(0x1000000), 16).rightJustified(6, '0') +
                "\" stroke=\"#202020\" stroke-width=\"" + number(random, 0.1, 4, 2) +
                "\" class=\"shape layer-" + QByteArray::number(random.bounded(12)) +
                "\"/>\n  <path id=\"p" + QByteArray::number(id) + "\" x=\"" +
                number(random, -100, 4000, 4) + "\" d=\"" + path +
                " Z\" fill=\"none\" stroke=\"#336699\" stroke-linecap=\"round\" "
                "stroke-linejoin=\"round\" stroke-dasharray=\"4 2 1 2\"/>\n  <text x=\"" +
                number(random, 0, 4000, 1) + "\" y=\"" + number(random, 0, 3000, 1) +
                "\" font-family=\"DejaVu Sans, sans-serif\" font-size=\"12\">label " +
                QByteArray::number(id) + "</text>\n </g>\n";
        if (text.size() >= (1 << 20)) {
            written += text.size();
            if (!flushed(out, text))
                return false;
        }
    }
    text += "</svg>\n";
    return flushed(out, text, true);
}

// One chain of elements `levels` deep (the document element is level 1), each with
// an x value and a line of text, which is as deep as the window accepts.
inline bool writeNested(QIODevice &out, int levels)
{
    QRandomGenerator random(20261208);
    QByteArray text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    for (int level = 1; level <= levels; ++level)
        text += "<level n=\"" + QByteArray::number(level) + "\" x=\"" +
                number(random, -1000, 1000, 3) + "\">text at level " + QByteArray::number(level) +
                '\n';
    for (int level = levels; level >= 1; --level)
        text += "</level>\n";
    return flushed(out, text, true);
}

// A configuration file: sections of settings, comments, a weight on some settings
// and words and paths in the rest.
inline bool writeConfigLike(QIODevice &out, qint64 bytes)
{
    QRandomGenerator random(20261209);
    QByteArray text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<!-- generated configuration -->\n<configuration version=\"3\">\n";
    static const char *const words[] = {"enabled",          "disabled",  "auto",
                                        "/var/lib/service", "localhost", "https://example.org/api"};
    for (int section = 1; text.size() < bytes - 200; ++section) {
        text += "  <section name=\"section" + QByteArray::number(section) + "\">\n";
        const int settings = 3 + int(random.bounded(8));
        for (int s = 0; s < settings; ++s) {
            text += "    <setting key=\"key" + QByteArray::number(section) + '.' +
                    QByteArray::number(s) + "\" value=\"" + words[random.bounded(6)] + '"';
            if (random.bounded(3) != 0)
                text += " weight=\"" + number(random, -5, 100, int(random.bounded(4))) + '"';
            text += "/>\n";
        }
        text += "    <!-- end of section " + QByteArray::number(section) + " -->\n  </section>\n";
    }
    text += "</configuration>\n";
    return flushed(out, text, true);
}

} // namespace corpus

#endif // CORPUS_H
