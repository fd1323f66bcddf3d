// SPDX-License-Identifier: MIT
// Canaries: each test shows, on the library alone, that a behaviour of Qt (5.15 or 6.4) or
// of libxml2 2.9.14 which the program works around is still there, and says on which Qt
// it applies. When one fails after an upgrade, the workaround its comment names may no
// longer be needed.
#include <QDomDocument>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

#include <libxml/encoding.h>
#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// libxml2's messages while it lives, kept out of the log; then the previous handler again.
struct LibxmlMessages
{
    LibxmlMessages() { xmlSetStructuredErrorFunc(this, collect); }
    ~LibxmlMessages() { xmlSetStructuredErrorFunc(context, handler); }
    static void collect(void *self, xmlErrorPtr error)
    {
        static_cast<LibxmlMessages *>(self)->list += QString::fromUtf8(error->message);
    }
    xmlStructuredErrorFunc handler = xmlStructuredError;
    void *context = xmlStructuredErrorContext;
    QStringList list;
};

bool readsWellFormed(const QByteArray &bytes, int options = 0)
{
    xmlParserCtxtPtr context = xmlNewParserCtxt();
    xmlDocPtr document =
        xmlCtxtReadMemory(context, bytes.constData(), bytes.size(), nullptr, nullptr, options);
    const bool wellFormed = document && context->wellFormed;
    xmlFreeDoc(document);
    xmlFreeParserCtxt(context);
    return wellFormed;
}

QString serialized(const QString &xml, int indent)
{
    QDomDocument document;
    document.setContent(xml);
    return document.toString(indent);
}

QByteArray startNames; // what the first version's startElement was given, one name a line

} // namespace

class tst_LibraryQuirks : public QObject
{
    Q_OBJECT

private slots:
    // QString::fromUtf8() drops a leading byte order mark; the program prepends U+FEFF
    // itself when converting libxml2's text.
    void fromUtf8DropsLeadingByteOrderMark()
    {
        QCOMPARE(QString::fromUtf8("\xEF\xBB\xBFx"), QStringLiteral("x"));
    }

    // Qt 5 only: its UTF-32 encoders give four bytes per UTF-16 unit, so a character beyond
    // the BMP leaves four unwritten (arbitrary) bytes at the end; the program writes UTF-32
    // itself. Qt 6's encoders are right.
    void utf32EncoderPadsAstralCharacters()
    {
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
        QSKIP("Qt 6's UTF-32 encoders write four bytes per character");
#endif
        const QString text = QString::fromUcs4(U"\U0001F600a");
        for (const auto &[codec, written] : {std::pair("UTF-32BE", "0001f60000000061"),
                                             std::pair("UTF-32LE", "00f6010061000000")}) {
            QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
            const QByteArray bytes =
                QTextCodec::codecForName(codec)->fromUnicode(text.constData(), text.size(), &state);
            QCOMPARE(bytes.size(), 12);
            QCOMPARE(bytes.left(8), QByteArray::fromHex(written));
        }
    }

    // QDom writes a line break after every processing instruction, also where text follows;
    // the program puts a marker before such text and takes the break out afterwards.
    void domBreaksLineAfterInstruction()
    {
        for (int indent : {1, 0})
            QVERIFY(serialized("<r><?p d?>text</r>", indent).contains("?>\ntext"));
    }

    // Under xml:space="preserve" QDom still breaks lines and indents around child elements;
    // the program puts an empty text node beside each, next to which QDom adds nothing.
    void domBreaksLinesUnderPreserve()
    {
        for (int indent : {1, 0})
            QCOMPARE(serialized("<r xml:space='preserve'><a/><b/></r>", indent),
                     QString("<r xml:space=\"preserve\">\n%1<a/>\n%1<b/>\n</r>\n")
                         .arg(QString(indent, ' ')));
    }

    // QDom writes a character beyond the BMP that the encoding lacks as references to its
    // surrogate halves (Qt 5), or as "??" (Qt 6); on both the program swaps it for a marker
    // that becomes one correct reference.
    void domWritesSurrogateReferences()
    {
        QDomDocument document;
        document.setContent(QString::fromUtf8(
            "<?xml version='1.0' encoding='ISO-8859-1'?><r>\xF0\x9F\x98\x80</r>"));
        QByteArray bytes;
        QTextStream stream(&bytes);
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
        stream.setEncoding(QStringConverter::Latin1);
#else
        stream.setCodec("ISO-8859-1");
#endif
        document.save(stream, 1, QDomNode::EncodingFromDocument);
        stream.flush();
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
        QVERIFY2(bytes.contains("<r>?\?</r>"), bytes.constData());
#else
        QVERIFY2(bytes.contains("<r>&#xd83d;&#xde00;</r>"), bytes.constData());
#endif
    }

    // Qt's TIS-620 codec, which Qt also gives for MS874, writes characters as bytes that
    // libxml2's TIS-620 cannot read; the program has libxml2 read back each character it
    // writes in such an encoding, by the codec's name, and refuses or writes a reference.
    void tis620CodecsDisagree()
    {
        for (const auto &[name, character, byte] :
             {std::tuple("TIS-620", U'\u2013', "\x96"), {"MS874", U'\uF8C8', "\xff"}}) {
            QTextCodec *codec = QTextCodec::codecForName(name);
            QCOMPARE(codec->fromUnicode(QString::fromUcs4(&character, 1)), QByteArray(byte));
            const LibxmlMessages messages;
            QVERIFY(!readsWellFormed("<?xml version='1.0' encoding='" + codec->name() + "'?><r>" +
                                     byte + "</r>"));
        }
        QVERIFY(readsWellFormed("<?xml version='1.0' encoding='TIS-620'?><r>\xa1</r>")); // U+0E01
    }

    // QDom keeps attributes in a hash, so the order it writes them in follows the process's
    // hash seed; the program fixes the seed before it builds a document (Qt 5: seed 0;
    // Qt 6, which ignores qSetGlobalQHashSeed(0), its deterministic seed).
    void domAttributeOrderFollowsHashSeed()
    {
        QString element = "<e";
        for (int i = 0; i < 12; ++i)
            element += QString(" a%1=''").arg(i);
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
        QHashSeed::resetRandomGlobalSeed();
        const QString seedOne = serialized(element + "/>", -1);
        QHashSeed::setDeterministicGlobalSeed();
#else
        qSetGlobalQHashSeed(1);
        const QString seedOne = serialized(element + "/>", -1);
        qSetGlobalQHashSeed(0);
#endif
        QVERIFY(seedOne.startsWith("<e a"));
        QVERIFY(serialized(element + "/>", -1) != seedOne);
    }

    // libxml2 reads UTF-32 neither by its byte order mark nor, little-endian, by its first
    // bytes; the program decodes UTF-32 itself and hands libxml2 UTF-8.
    void libxmlDoesNotReadUtf32()
    {
        const LibxmlMessages messages;
        for (const char *hex : {"fffe00003c000000720000002f0000003e000000",  // LE, with its mark
                                "3c000000720000002f0000003e000000",          // LE, without
                                "0000feff0000003c000000720000002f0000003e"}) // BE, with its mark
            QVERIFY2(!readsWellFormed(QByteArray::fromHex(hex)), hex);
        QVERIFY(readsWellFormed(QByteArray::fromHex("0000003c000000720000002f0000003e"))); // BE
    }

    // libxml2 takes a NUL byte after the document element for the end of the input and
    // reports the document well-formed; the program refuses such a document when it ends.
    void libxmlEndsInputAtNul()
    {
        const LibxmlMessages messages;
        QVERIFY(readsWellFormed(QByteArray("<r/>\0junk<", 10)));
        QCOMPARE(messages.list, QStringList());
    }

    // libxml2's message for bytes that are not UTF-8 has a second line; the program joins a
    // message onto one line.
    void libxmlMessageSpansTwoLines()
    {
        const LibxmlMessages messages;
        QVERIFY(!readsWellFormed("<r>\xff</r>"));
        QVERIFY2(messages.list.value(0).startsWith(
                     "Input is not proper UTF-8, indicate encoding !\nBytes: 0xFF"),
                 qPrintable(messages.list.join('|')));
    }

    // Without XML_PARSE_HUGE libxml2 refuses more than 257 open elements, and a text of more
    // than 10,000,000 bytes that reaches it in pieces (as non-ASCII text does); the program
    // passes XML_PARSE_HUGE and applies its own bounds.
    void libxmlLimitsWithoutHuge()
    {
        const auto document = [](int levels, int textBytes) {
            return QByteArray("<e>").repeated(levels) +
                   QByteArray("\xC3\xA9").repeated(textBytes / 2) +
                   QByteArray("</e>").repeated(levels);
        };
        const LibxmlMessages messages;
        QVERIFY(readsWellFormed(document(257, 0)));
        QVERIFY(!readsWellFormed(document(258, 0)));
        QVERIFY(readsWellFormed(document(258, 0), XML_PARSE_HUGE));
        QVERIFY(readsWellFormed(document(1, 10000000)));
        QVERIFY(!readsWellFormed(document(1, 10000002)));
        QVERIFY(readsWellFormed(document(1, 10000002), XML_PARSE_HUGE));
    }

    // A handler marked XML_SAX2_MAGIC gets the namespace-aware element events and never the
    // first version's startElement, even with no startElementNs; the program marks its
    // handler as of the first version (initialized = 1), which gets names as written.
    void saxMagicSkipsFirstVersionEvents()
    {
        const char document[] = "<a:b xmlns:a='urn:a'/>";
        startNames.clear();
        for (unsigned initialized : {unsigned(XML_SAX2_MAGIC), 1u}) {
            xmlSAXHandler handler{};
            handler.initialized = initialized;
            handler.startElement = [](void *, const xmlChar *name, const xmlChar **) {
                startNames += reinterpret_cast<const char *>(name) + QByteArray("\n");
            };
            QCOMPARE(xmlSAXUserParseMemory(&handler, nullptr, document, sizeof document - 1), 0);
        }
        QCOMPARE(startNames, QByteArray("a:b\n")); // from the second handler alone
    }

    // xmlStopParser() inside the read callback frees the buffer the callback fills, and the
    // parse crashes (here in a child); the program fails the read there instead.
    void stopInsideReadCallbackCrashes()
    {
        for (bool stopping : {false, true}) {
            const pid_t child = fork();
            QVERIFY(child >= 0);
            if (child == 0) {
                // Neither QTest's crash handler nor the sanitizer's report reaches the log.
                for (int signal : {SIGSEGV, SIGBUS, SIGABRT})
                    std::signal(signal, SIG_DFL);
                const int null = open("/dev/null", O_WRONLY);
                dup2(null, STDOUT_FILENO);
                dup2(null, STDERR_FILENO);
                static const QByteArray bytes = "<r>" + QByteArray(100000, 'x') + "</r>";
                static int offset = 0;
                xmlParserCtxtPtr context = xmlNewParserCtxt();
                const auto read = [](void *stopped, char *buffer, int length) {
                    if (stopped && offset > 0)
                        xmlStopParser(static_cast<xmlParserCtxtPtr>(stopped));
                    const int size = std::min(length, int(bytes.size()) - offset);
                    std::memcpy(buffer, bytes.constData() + offset, size_t(size));
                    offset += size;
                    return size;
                };
                xmlFreeDoc(xmlCtxtReadIO(context, read, nullptr, stopping ? context : nullptr,
                                         nullptr, nullptr, 0));
                xmlFreeParserCtxt(context);
                _exit(0);
            }
            int status = 0;
            QCOMPARE(waitpid(child, &status, 0), child);
            QCOMPARE(WIFEXITED(status) && WEXITSTATUS(status) == 0, !stopping); // survived
        }
    }

    // Qt's decoders of the codecs the streaming engine decodes (Shift_JIS, Big5, UTF-16)
    // do not report bytes they cannot decode; the engine relies on libxml2, which reads
    // the bytes themselves, and on its cursor meeting the bytes' end.
    void decodersDoNotReportInvalidBytes_data()
    {
        QTest::addColumn<QByteArray>("codec");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("Shift_JIS") << QByteArray("Shift_JIS") << QByteArray("a\xa0(");
        QTest::newRow("Big5") << QByteArray("Big5") << QByteArray("a\xff\xff(");
        QTest::newRow("UTF-16LE lone surrogate")
            << QByteArray("UTF-16LE") << QByteArray("a\0\0\xd8(\0", 6);
    }

    void decodersDoNotReportInvalidBytes()
    {
        QFETCH(QByteArray, codec);
        QFETCH(QByteArray, bytes);
        QTextDecoder decoder(QTextCodec::codecForName(codec),
                             QTextCodec::IgnoreHeader | QTextCodec::ConvertInvalidToNull);
        decoder.toUnicode(bytes);
        QVERIFY(!decoder.hasFailure());
    }

    // libxml2 fails a document that declares UTF-8 and holds U+FEFF in its text when its
    // read callback gives a few bytes at a time ("Input is not proper UTF-8"), and reads it
    // whole otherwise; the streaming engine always fills the parser's whole request.
    void libxmlFailsOnSmallReads()
    {
        for (int piece : {2, 4096}) {
            static QByteArray bytes;
            static int offset;
            static int size;
            bytes = "<?xml version='1.0' encoding='UTF-8'?><r>" +
                    QByteArray("\xef\xbb\xbf").repeated(100) + "</r>";
            offset = 0;
            size = piece;
            const auto read = [](void *, char *buffer, int length) {
                const int given = std::min({length, size, int(bytes.size()) - offset});
                std::memcpy(buffer, bytes.constData() + offset, size_t(given));
                offset += given;
                return given;
            };
            const LibxmlMessages messages;
            xmlParserCtxtPtr context = xmlNewParserCtxt();
            xmlDocPtr document =
                xmlCtxtReadIO(context, read, nullptr, nullptr, nullptr, nullptr, 0);
            const bool wellFormed = document && context->wellFormed;
            xmlFreeDoc(document);
            xmlFreeParserCtxt(context);
            QCOMPARE(wellFormed, piece > 2);
        }
    }

    // The DOM cannot hold an internal subset, but writes a document type's name as it is
    // given; the program passes the rest of the declaration in the name.
    void domWritesDocumentTypeNameAsGiven()
    {
        const QString name = QStringLiteral("r [<!ENTITY e 'x'>]");
        QDomDocument document(QDomImplementation().createDocumentType(name, {}, {}));
        document.appendChild(document.createElement(QStringLiteral("r")));
        QVERIFY2(document.toString(-1).startsWith("<!DOCTYPE " + name + ">"),
                 qPrintable(document.toString(-1)));
    }

    // QSaveFile gives the new file the permissions this user sees, and root sees every
    // file as writable; the program sets the file's own mode bits itself.
    void saveFileCopiesPermissionsAsSeen()
    {
        if (geteuid() != 0)
            QSKIP("only root sees a read-only file as writable");
        QTemporaryDir dir;
        const QString path = dir.filePath("f");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        const auto readOnly =
            QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther;
        QVERIFY(QFile::setPermissions(path, readOnly));
        QSaveFile save(path);
        QVERIFY(save.open(QIODevice::WriteOnly));
        QVERIFY(save.commit());
        QVERIFY(QFileInfo(path).permissions() & QFileDevice::WriteOwner);
    }
};

QTEST_GUILESS_MAIN(tst_LibraryQuirks)
#include "tst_libraryquirks.moc"
