// SPDX-License-Identifier: MIT
// Only the DOM's own work on a file, as the floor for --reformat and the window's
// file mode: read the bytes, parse them, serialise with indent 0, write the bytes.
//   dom_roundtrip INPUT OUTPUT
#include <QCoreApplication>
#include <QDomDocument>
#include <QFile>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 3) {
        std::fprintf(stderr, "usage: dom_roundtrip INPUT OUTPUT\n");
        return 2;
    }
    QFile input(arguments[1]);
    if (!input.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "dom_roundtrip: %s\n", qPrintable(input.errorString()));
        return 1;
    }
    QDomDocument document;
    QString error;
    if (!document.setContent(input.readAll(), false, &error)) {
        std::fprintf(stderr, "dom_roundtrip: %s\n", qPrintable(error));
        return 1;
    }
    input.close();
    const QByteArray bytes = document.toByteArray(0);
    QFile output(arguments[2]);
    if (!output.open(QIODevice::WriteOnly) || output.write(bytes) != bytes.size() ||
        !output.flush()) {
        std::fprintf(stderr, "dom_roundtrip: %s\n", qPrintable(output.errorString()));
        return 1;
    }
    return 0;
}
