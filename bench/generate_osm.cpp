// Writes a generated OpenStreetMap-like document of a given size, for measuring the
// command-line program on large files:  generate_osm FILE MEGABYTES
#include "osmlike.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    bool isNumber = false;
    const qint64 megabytes = arguments.value(2).toLongLong(&isNumber);
    if (arguments.size() != 3 || !isNumber || megabytes <= 0) {
        std::fprintf(stderr, "usage: generate_osm FILE MEGABYTES\n");
        return 2;
    }
    QFile file(arguments[1]);
    if (!file.open(QIODevice::WriteOnly) || !writeOsmLike(file, megabytes << 20) || !file.flush()) {
        std::fprintf(stderr, "generate_osm: %s\n", qPrintable(file.errorString()));
        return 1;
    }
    return 0;
}
