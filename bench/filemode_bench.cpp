// Times each stage of the window's file mode on generated documents, and the
// refusal of a document nested far too deeply. Run from a Release build:
//   cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DXMLADJUST_BUILD_BENCH=ON
//   cmake --build build-bench --target filemode_bench && build-bench/bench/filemode_bench
#include "adjustmentrule.h"
#include "attributewalk.h"
#include "xmlinput.h"
#include "xmloutput.h"

#include "osmlike.h"

#include <QCoreApplication>
#include <QDomDocument>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>

namespace {

double milliseconds(QElapsedTimer &timer)
{
    const double elapsed = timer.nsecsElapsed() / 1e6;
    timer.restart();
    return elapsed;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QTemporaryDir dir;
    const QString path = dir.filePath("doc.xml");

    AdjustmentRule rule;
    rule.attributeName = QStringLiteral("lat");
    rule.increment = AdjustmentRule::incrementFromSpinBox(0.5);
    rule.useAbove = true;
    rule.above = 0;

    std::printf("| document | read + parse | walk | serialise + encode | atomic write | total |\n"
                "|---|---|---|---|---|---|\n");
    for (int megabytes : {1, 10, 30}) {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || !writeOsmLike(file, qint64(megabytes) << 20))
            return 1;
        file.close();

        QElapsedTimer timer;
        timer.start();
        QDomDocument document;
        if (!loadXmlFile(document, path).isLoaded())
            return 1;
        const double parse = milliseconds(timer);
        adjustAttributes(document.documentElement(), rule);
        const double walk = milliseconds(timer);
        const QByteArray bytes = encodeXmlFile(document);
        const double serialise = milliseconds(timer);
        if (!replaceFileContents(path, bytes).isReplaced())
            return 1;
        const double write = milliseconds(timer);
        std::printf("| OSM-like, %d MB | %.0f ms | %.0f ms | %.0f ms | %.0f ms | %.0f ms |\n",
                    megabytes, parse, walk, serialise, write, parse + walk + serialise + write);
    }

    const QString tooDeep = QString("<e>").repeated(1000000) + QString("</e>").repeated(1000000);
    QElapsedTimer timer;
    timer.start();
    QDomDocument document;
    const bool refused = loadXmlText(document, tooDeep).status == XmlLoadResult::TooDeep;
    std::printf("\n1,000,000 levels %s in %.1f ms\n", refused ? "refused" : "NOT refused",
                milliseconds(timer));
    return refused ? 0 : 1;
}
