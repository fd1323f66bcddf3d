// Only the toolkit's stream reader on a file, fed as the streaming engine feeds it
// (decoded text, 64 KiB at a time), reading every token and the attributes of
// every start tag: the floor for xmladjust-cli's default path.
//   reader_alone FILE
#include <QCoreApplication>
#include <QFile>
#include <QTextCodec>
#include <QTextDecoder>
#include <QXmlStreamReader>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 2) {
        std::fprintf(stderr, "usage: reader_alone FILE\n");
        return 2;
    }
    QFile file(arguments[1]);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "reader_alone: %s\n", qPrintable(file.errorString()));
        return 1;
    }
    QTextDecoder decoder(QTextCodec::codecForMib(106));
    QXmlStreamReader reader;
    reader.setNamespaceProcessing(false);
    qint64 attributes = 0;
    for (;;) {
        const QByteArray bytes = file.read(64 * 1024);
        if (bytes.isEmpty())
            break;
        reader.addData(decoder.toUnicode(bytes));
        while (!reader.atEnd()) {
            if (reader.readNext() == QXmlStreamReader::StartElement)
                attributes += reader.attributes().size();
        }
        if (reader.hasError() && reader.error() != QXmlStreamReader::PrematureEndOfDocumentError) {
            std::fprintf(stderr, "reader_alone: %s\n", qPrintable(reader.errorString()));
            return 1;
        }
    }
    std::printf("%lld attributes\n", attributes);
    return 0;
}
