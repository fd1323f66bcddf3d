// SPDX-License-Identifier: MIT
// Times each stage of the window's file mode (and --reformat) on generated
// documents, or with --dom the DOM's own parse and serialise of the same files, and
// the refusal of a document nested far too deeply. Run from a Release build:
//   cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DXMLADJUST_BUILD_BENCH=ON
//   cmake --build build-bench --target filemode_bench
//   build-bench/bench/filemode_bench [--dom] [MEGABYTES...]
// A process that has built and freed a large tree builds the next one faster (its
// heap is in place), so compare the two modes run in separate processes, one size
// at a time.
#include "bounds.h"
#include "dom/attributewalk.h"
#include "dom/xmlinput.h"
#include "dom/xmloutput.h"
#include "file/atomicfile.h"
#include "initialize.h"
#include "rule/adjustmentrule.h"

#include "osmlike.h"

#include <QCoreApplication>
#include <QDomDocument>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTextCodec>

#include <cstdio>

using namespace xmladjust;

namespace {

double milliseconds(QElapsedTimer &timer)
{
    const double elapsed = timer.nsecsElapsed() / 1e6;
    timer.restart();
    return elapsed;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeDocument(const QString &path, int megabytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && writeOsmLike(file, qint64(megabytes) << 20);
}

bool timeFileMode(const QString &path, int megabytes, const AdjustmentRule &rule)
{
    if (!writeDocument(path, megabytes))
        return false;
    QElapsedTimer timer;
    timer.start();
    const QByteArray input = readAll(path);
    const double read = milliseconds(timer);
    QDomDocument document;
    if (!loadXmlBytes(document, input).succeeded())
        return false;
    const double load = milliseconds(timer);
    adjustAttributes(document.documentElement(), rule);
    const double walk = milliseconds(timer);
    const QByteArray bytes = encodeXmlFile(document);
    const double serialise = milliseconds(timer);
    if (!replaceFileContents(path, bytes).succeeded())
        return false;
    const double write = milliseconds(timer);
    std::printf("| OSM-like, %d MB | %.0f ms | %.0f ms | %.0f ms | %.0f ms | %.0f ms | %.0f ms |\n",
                megabytes, read, load, walk, serialise, write,
                read + load + walk + serialise + write);
    return true;
}

bool timeDomAlone(const QString &path, int megabytes)
{
    if (!writeDocument(path, megabytes))
        return false;
    QElapsedTimer timer;
    timer.start();
    const QByteArray bytes = readAll(path);
    const double read = milliseconds(timer);
    QDomDocument document;
    if (!document.setContent(bytes, false))
        return false;
    const double parse = milliseconds(timer);
    const QByteArray output = document.toByteArray(0);
    const double serialise = milliseconds(timer);
    QFile out(path + ".out");
    if (!out.open(QIODevice::WriteOnly) || out.write(output) != output.size() || !out.flush())
        return false;
    out.close();
    const double write = milliseconds(timer);
    std::printf("| OSM-like, %d MB | %.0f ms | %.0f ms | %.0f ms | %.0f ms | %.0f ms |\n",
                megabytes, read, parse, serialise, write, read + parse + serialise + write);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    initializeCore();
    QCoreApplication application(argc, argv);
    QStringList arguments = QCoreApplication::arguments().mid(1);
    const bool domAlone = arguments.removeAll(QStringLiteral("--dom")) > 0;
    QList<int> sizes;
    for (const QString &argument : qAsConst(arguments))
        sizes << argument.toInt();
    if (sizes.isEmpty())
        sizes = {1, 10, 30};
    QTemporaryDir dir;
    const QString path = dir.filePath("doc.xml");

    if (domAlone) {
        std::printf("| document | read | parse | serialise | write | total |\n"
                    "|---|---|---|---|---|---|\n");
        for (int megabytes : qAsConst(sizes)) {
            if (!timeDomAlone(path, megabytes))
                return 1;
        }
        return 0;
    }

    AdjustmentRule rule;
    rule.attributeName = QStringLiteral("lat");
    rule.increment = AdjustmentRule::incrementFromSpinBox(0.5);
    rule.useAbove = true;
    rule.above = 0;

    std::printf("| document | read | guards, parse and DOM | walk | serialise + encode | "
                "atomic write | total |\n"
                "|---|---|---|---|---|---|---|\n");
    for (int megabytes : qAsConst(sizes)) {
        if (!timeFileMode(path, megabytes, rule))
            return 1;
    }

    const QString tooDeep = QString("<e>").repeated(1000000) + QString("</e>").repeated(1000000);
    QElapsedTimer timer;
    timer.start();
    QDomDocument document;
    const Outcome loaded = loadXmlText(document, tooDeep);
    const bool refused = !loaded.succeeded() && loaded.kind() == FailureKind::TooDeep;
    std::printf("\n1,000,000 levels %s in %.1f ms\n", refused ? "refused" : "NOT refused",
                milliseconds(timer));
    return refused ? 0 : 1;
}
