// SPDX-License-Identifier: MIT
// Writes one of the benchmark's generated documents:
//   generate_corpus osm|svg|config FILE SIZE    (SIZE in bytes, or with K, M or G)
//   generate_corpus nested FILE LEVELS
//   generate_corpus smallfiles FOLDER COUNT   (see smallfiles.h)
#include "corpus.h"
#include "smallfiles.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>

namespace {

qint64 parseSize(QString text)
{
    int shift = 0;
    const QChar unit = text.isEmpty() ? QChar() : text.back().toUpper();
    if (unit == 'K' || unit == 'M' || unit == 'G') {
        shift = unit == 'K' ? 10 : unit == 'M' ? 20 : 30;
        text.chop(1);
    }
    bool isNumber = false;
    const qint64 size = text.toLongLong(&isNumber);
    return isNumber && size > 0 ? size << shift : -1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    const qint64 size = parseSize(arguments.value(3));
    const QString kind = arguments.value(1);
    if (kind == "smallfiles" && arguments.size() == 4 && size > 0) {
        if (smallfiles::writeSmallFiles(arguments[2], int(size)))
            return 0;
        std::fprintf(stderr, "generate_corpus: cannot write the files in %s\n",
                     qPrintable(arguments[2]));
        return 1;
    }
    if (arguments.size() != 4 || size <= 0 ||
        !QStringList({"osm", "svg", "config", "nested"}).contains(kind)) {
        std::fprintf(stderr, "usage: generate_corpus osm|svg|config FILE SIZE[K|M|G]\n"
                             "       generate_corpus nested FILE LEVELS\n"
                             "       generate_corpus smallfiles FOLDER COUNT\n");
        return 2;
    }
    QFile file(arguments[2]);
    if (!file.open(QIODevice::WriteOnly)) {
        std::fprintf(stderr, "generate_corpus: %s\n", qPrintable(file.errorString()));
        return 1;
    }
    const bool written = kind == "osm"   ? writeOsmLike(file, size)
                         : kind == "svg" ? corpus::writeSvgLike(file, size)
                         : kind == "config"
                             ? corpus::writeConfigLike(file, size)
                             : corpus::writeNested(file, int(qMin<qint64>(size, 1000000)));
    if (!written || !file.flush()) {
        std::fprintf(stderr, "generate_corpus: %s\n", qPrintable(file.errorString()));
        return 1;
    }
    return 0;
}
