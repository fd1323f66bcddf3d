#include "adjustmentrule.h"
#include "attributewalk.h"
#include "bounds.h"
#include "encoding.h"
#include "initialize.h"
#include "outcomes.h"
#include "streamadjust.h"
#include "xmlinput.h"
#include "xmloutput.h"

#include "testfiles.h"
#include "xmlcompare.h"

#include <QBuffer>
#include <QDomDocument>
#include <QTextCodec>
#include <QtTest>

using namespace xmladjust;

namespace {

AdjustmentRule rule(const QString &attribute, const QString &increment)
{
    AdjustmentRule rule;
    rule.attributeName = attribute;
    rule.increment = *DecimalNumber::fromNumeral(increment);
    return rule;
}

struct StreamRun
{
    StreamAdjustResult result;
    QByteArray output;
};

StreamRun runStream(const QByteArray &input, const AdjustmentRule &rule,
                    qint64 chunkSize = defaultStreamChunkSize)
{
    QByteArray in = input;
    QBuffer inputDevice(&in);
    inputDevice.open(QIODevice::ReadOnly);
    StreamRun run;
    QBuffer outputDevice(&run.output);
    outputDevice.open(QIODevice::WriteOnly);
    run.result = adjustXmlStream(inputDevice, &outputDevice, rule, chunkSize);
    return run;
}

// Small chunks put every boundary of the reading inside markup, references and
// multi-byte characters somewhere.
const QList<qint64> chunkSizes = {1, 2, 3, 5, 8, 64, defaultStreamChunkSize};

QByteArray encoded(const char *codecName, const QString &text, const QByteArray &byteOrderMark = {})
{
    // Qt's UTF-32 encoder adds a stray unit after each character beyond the BMP.
    if (qstrncmp(codecName, "UTF-32", 6) == 0)
        return byteOrderMark + utf32Bytes(text, qstrcmp(codecName, "UTF-32BE") == 0);
    QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
    return byteOrderMark +
           QTextCodec::codecForName(codecName)->fromUnicode(text.constData(), text.size(), &state);
}

QByteArray nested(int levels, const QByteArray &innermost)
{
    return QByteArray("<e>").repeated(levels - 1) + innermost +
           QByteArray("</e>").repeated(levels - 1);
}

} // namespace

class tst_StreamAdjust : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { initializeCore(); }
    void onlyValuesChange_data();
    void onlyValuesChange();
    void valuesNotInText_data();
    void valuesNotInText();
    void refused_data();
    void refused();
    void agreesWithDomPath_data();
    void agreesWithDomPath();
    void lookaheadBounds_data();
    void lookaheadBounds();
    void deepNesting();
    void dryRunAndFailingOutput();
};

void tst_StreamAdjust::onlyValuesChange_data()
{
    QTest::addColumn<QString>("attribute");
    QTest::addColumn<QString>("increment");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<int>("adjusted");

    const QByteArray prolog = "<?xml version=\"1.0\"?>\n<!-- a \"comment\" with lat='1' -->\n"
                              "<!DOCTYPE gpx [\n  <!ENTITY v \"7\">\n  <!ATTLIST t kind CDATA "
                              "\"x\">\n  <!-- ]> -->\n]>\n<?pi lat=\"1\"?>\n";
    QTest::newRow("document type, comments, CDATA and PIs kept")
        << "lat"
        << "0.2"
        << prolog + "<gpx>\n  <wpt lat=\"55.7558123\" lon=\"37.6\"><![CDATA[<q lat=\"1\"/>]]></wpt>"
                    "\n</gpx>\n<!-- after -->\n"
        << prolog + "<gpx>\n  <wpt lat=\"55.9558123\" lon=\"37.6\"><![CDATA[<q lat=\"1\"/>]]></wpt>"
                    "\n</gpx>\n<!-- after -->\n"
        << 1;
    QTest::newRow("odd spacing, quotes and attribute order kept")
        << "x"
        << "-16" << QByteArray("<r>\n<a   y='1'\n\tx\t=\n'10' z = \"a>b\" /><a x=\"-4\"></a></r>")
        << QByteArray("<r>\n<a   y='1'\n\tx\t=\n'-6' z = \"a>b\" /><a x=\"-20\"></a></r>") << 2;
    QTest::newRow("CRLF line ends kept")
        << "x"
        << "1" << QByteArray("<r>\r\n<a x=\"1\"/>\r\n<a\r\n x=\"2\"/>\r\n</r>\r\n")
        << QByteArray("<r>\r\n<a x=\"2\"/>\r\n<a\r\n x=\"3\"/>\r\n</r>\r\n") << 2;
    QTest::newRow("values with references replaced whole")
        << "x"
        << "0.5"
        << QByteArray("<!DOCTYPE r [<!ENTITY v \"7\">]><r><a x=\"&#49;0\"/><a x='&v;'/></r>")
        << QByteArray("<!DOCTYPE r [<!ENTITY v \"7\">]><r><a x=\"10.5\"/><a x='7.5'/></r>") << 2;
    QTest::newRow("prefixed and other attributes untouched")
        << "lat"
        << "1"
        << QByteArray("<r xmlns:g=\"urn:g\"><g:p g:lat=\"1\" lat=\"1\" Lat=\"1\" lat2=\"1\"/></r>")
        << QByteArray("<r xmlns:g=\"urn:g\"><g:p g:lat=\"1\" lat=\"2\" Lat=\"1\" lat2=\"1\"/></r>")
        << 1;
    QTest::newRow("prefixed name matched as written")
        << "g:lat"
        << "1" << QByteArray("<r><p g:lat=\"1\" lat=\"1\"/></r>")
        << QByteArray("<r><p g:lat=\"2\" lat=\"1\"/></r>") << 1;
    QTest::newRow("exact decimals beyond five places")
        << "v"
        << "0.000001"
        << QByteArray("<r><a v=\"1\"/><a v=\" 2.5 \"/><a v=\"1e3\"/><a v=\"12px\"/><a v=\"\"/></r>")
        << QByteArray("<r><a v=\"1.000001\"/><a v=\"2.500001\"/><a v=\"1000.000001\"/>"
                      "<a v=\"12px\"/><a v=\"\"/></r>")
        << 3;
    QTest::newRow("nothing qualifies")
        << "v"
        << "1" << QByteArray("<r a=\"1\"/>") << QByteArray("<r a=\"1\"/>") << 0;

    // Every value x="…" in an element is adjusted by 0.25; x='…' in an instruction stays.
    const QString western = QStringLiteral("<?xml version=\"1.0\" encoding=\"ENC\"?>\n"
                                           "<r n=\"Zürich ÿ\" x=\"10\"><a x=\"-1\">é</a></r>\n");
    // Names of XML 1.0's fifth edition: Ethiopic, Khmer, Mongolian, Cherokee, CJK
    // Extension B and U+01F9, in elements, attributes and instructions.
    const QString names = QStringLiteral(
        "<?xml version=\"1.0\" encoding=\"ENC\"?>\n<ሰላም ሰ=\"1\" x=\"10\"><?ǹ x='10'?>"
        "<ខ្មែរ x=\"10\" ខ=\"2\"/><ᠮᠣᠩ ᠮ=\"3\" x=\"-1\">Ꮳ</ᠮᠣᠩ><ᏣᎳᎩ x=\"10\" Ꮳ=\"4\"/>"
        "<𠀀 𠀁=\"5\" x=\"-1\"/><?𠀀 x='10'?></ሰላም>\n");
    const QString cjk = QStringLiteral("<?xml version=\"1.0\" encoding=\"ENC\"?>\n"
                                       "<r n=\"日本語\" x=\"10\"><a x=\"-1\">漢字</a></r>\n");
    const auto encodingRow = [](const char *name, const QString &text, const char *codec,
                                const QByteArray &mark = {}) {
        const QString declared = QString(text).replace("ENC", QString::fromLatin1(codec));
        const QString adjusted =
            QString(declared)
                .replace(QLatin1String("x=\"10\""), QLatin1String("x=\"10.25\""))
                .replace(QLatin1String("x=\"-1\""), QLatin1String("x=\"-0.75\""));
        QTest::newRow(name) << "x"
                            << "0.25" << encoded(codec, declared, mark)
                            << encoded(codec, adjusted, mark) << int(declared.count("x=\""));
    };
    encodingRow("UTF-8", western, "UTF-8");
    encodingRow("UTF-8 with byte order mark", western, "UTF-8", "\xef\xbb\xbf");
    encodingRow("ISO-8859-1", western, "ISO-8859-1");
    encodingRow("ISO-8859-15", western, "ISO-8859-15");
    encodingRow("windows-1252", western, "windows-1252");
    encodingRow("fifth-edition names, UTF-8", names, "UTF-8");
    encodingRow("fifth-edition names, UTF-16LE", names, "UTF-16LE", "\xff\xfe");
    encodingRow("fifth-edition names, UTF-16LE without byte order mark", names, "UTF-16LE");
    encodingRow("fifth-edition names, UTF-16BE", names, "UTF-16BE", "\xfe\xff");
    encodingRow("fifth-edition names, UTF-32LE", names, "UTF-32LE", QByteArray("\xff\xfe\0\0", 4));
    encodingRow("fifth-edition names, UTF-32BE", names, "UTF-32BE", QByteArray("\0\0\xfe\xff", 4));
    encodingRow("Shift_JIS", cjk, "Shift_JIS");
    encodingRow("EUC-JP", cjk, "EUC-JP");
    encodingRow("Big5", cjk, "Big5");
    encodingRow("GB18030", cjk, "GB18030");
    encodingRow("EUC-KR", cjk, "EUC-KR");
    QTest::newRow("attribute named in Mongolian")
        << QStringLiteral("ᠮ") << "1" << names.toUtf8().replace("ENC", "UTF-8")
        << names.toUtf8().replace("ENC", "UTF-8").replace("ᠮ=\"3\"", "ᠮ=\"4\"") << 1;
    QTest::newRow("characters beyond the BMP before a value")
        << "x"
        << "1" << QByteArray("<r t=\"\xf0\x9f\x98\x80\xf0\x9f\x98\x80\" x=\"1\"/>")
        << QByteArray("<r t=\"\xf0\x9f\x98\x80\xf0\x9f\x98\x80\" x=\"2\"/>") << 1;
}

void tst_StreamAdjust::onlyValuesChange()
{
    QFETCH(QString, attribute);
    QFETCH(QString, increment);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    QFETCH(int, adjusted);

    for (const qint64 chunkSize : chunkSizes) {
        const StreamRun run = runStream(input, rule(attribute, increment), chunkSize);
        QVERIFY2(
            run.result.succeeded(),
            qPrintable(
                QStringLiteral("chunk %1: %2").arg(chunkSize).arg(messageOf(run.result.outcome))));
        QCOMPARE(run.output, expected);
        QCOMPARE(run.result.adjustedCount, qint64(adjusted));
        QCOMPARE(run.result.bytesChanged, input != expected);
    }
}

void tst_StreamAdjust::valuesNotInText_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("adjusted");
    QTest::addColumn<int>("notInText");

    QTest::newRow("element an entity expands to")
        << QByteArray("<!DOCTYPE r [<!ENTITY p \"<p x='1'/>\">]><r x=\"1\">&p;a&p;<p x=\"2\"/></r>")
        << 2 << 2;
    QTest::newRow("default from the document type")
        << QByteArray("<!DOCTYPE r [<!ATTLIST p x CDATA \"5\">]><r><p/><p x=\"1\"/></r>") << 1 << 1;
    QTest::newRow("non-qualifying ones are not counted")
        << QByteArray("<!DOCTYPE r [<!ATTLIST p x CDATA \"abc\">]><r><p/></r>") << 0 << 0;
}

void tst_StreamAdjust::valuesNotInText()
{
    QFETCH(QByteArray, input);
    QFETCH(int, adjusted);
    QFETCH(int, notInText);

    for (const qint64 chunkSize : chunkSizes) {
        const StreamRun run = runStream(input, rule("x", "1"), chunkSize);
        QVERIFY2(run.result.succeeded(), qPrintable(messageOf(run.result.outcome)));
        QCOMPARE(run.result.adjustedCount, qint64(adjusted));
        QCOMPARE(run.result.notInTextCount, qint64(notInText));
        // The text the entity's markup comes from is left exactly as written.
        QCOMPARE(run.output.count("x='1'"), input.count("x='1'"));
    }
}

// Refusals the parser makes are reported as the window's path reports them, with
// the same reason and place; the engine's own carry theirs.
void tst_StreamAdjust::refused_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("line"); // -1: where the window's path puts it
    QTest::addColumn<int>("column");

    const int notWellFormed = int(FailureKind::NotWellFormed);
    const int badEncoding = int(FailureKind::UnsupportedEncoding);
    const auto judged = [](const char *name, const QByteArray &input, int status) {
        QTest::newRow(name) << input << status << -1 << -1;
    };
    judged("empty", QByteArray(), notWellFormed);
    judged("unclosed element", "<r>\n<a x=\"1\">\n", notWellFormed);
    judged("mismatched tag", "<r>\n  <a></b>\n</r>", notWellFormed);
    judged("duplicate attribute", "<r x=\"1\" x=\"2\"/>", notWellFormed);
    judged("text after the document element", "<r x=\"1\"/>\n<!-- fine -->\njunk", notWellFormed);
    judged("second document element", "<r x=\"1\"/><r/>", notWellFormed);
    judged("undeclared entity", "<r x=\"&u;\"/>", notWellFormed);
    judged("invalid UTF-8", "<r>\n<a x=\"1\">\xff</a></r>", badEncoding);
    judged("CDATA end in text", "<r>\n<a x=\"1\">]]]></a></r>", notWellFormed);
    const auto utf16 = [](const QString &text) {
        QByteArray bytes("\xff\xfe");
        for (const QChar c : text)
            bytes += char(c.unicode() & 0xff) + QByteArray(1, char(c.unicode() >> 8));
        return bytes;
    };
    judged("UTF-16 half surrogate", utf16(QString("<r>\n<a x=\"1\">") + QChar(0xDC00) + "</a></r>"),
           notWellFormed);
    judged("UTF-16 surrogate without its pair",
           utf16(QString("<r>\n<a x=\"1\">") + QChar(0xD83D) + "x</a></r>"), badEncoding);
    judged("document type inside the document element",
           "<r>\n<a x=\"1\">a<!DOCTYPE a [<!ENTITY e 'x'>]>b</a></r>", notWellFormed);
    judged("second document type", "<!DOCTYPE a>\n<!DOCTYPE b><r x=\"1\"/>", notWellFormed);
    judged("NUL character", QByteArray("<r>\n<a x=\"1\">\0</a></r>", 22), notWellFormed);
    judged("NUL after the document element", QByteArray("<r x=\"1\"/>\n\0junk<", 17),
           notWellFormed);
    judged("truncated UTF-8", "<r x=\"1\"/>\xc3", notWellFormed);
    judged("external entity", "<!DOCTYPE r [<!ENTITY e SYSTEM \"/etc/passwd\">]><r x=\"1\">&e;</r>",
           notWellFormed);

    // UTF-7 writes a run of such characters in fewer bytes than it writes each alone.
    QTest::newRow("stateful encoding")
        << "<?xml version=\"1.0\" encoding=\"UTF-7\"?><r>+" +
               QByteArray("AOkA6QDp").repeated(1000) + "-<e x=\"1\"/></r>"
        << int(FailureKind::LayoutNotKept) << 0 << 0;
    QTest::newRow("UTF-32 full of NUL")
        << QByteArray("<\0\0\0", 4) + QByteArray(48, '\0') + QByteArray("r x=\"1\">")
        << notWellFormed << 0 << 0;
    QTest::newRow("unknown encoding")
        << QByteArray("<?xml version=\"1.0\" encoding=\"x-nonesuch\"?><r/>") << badEncoding << 1
        << 1;
    QTest::newRow("UTF-16 declared without a byte order mark")
        << QByteArray("<?xml version=\"1.0\" encoding=\"UTF-16\"?><r/>") << badEncoding << 1 << 1;
    QTest::newRow("deeper than the bound")
        << nested(maximumStreamNestingDepth + 1, "<e x=\"1\"/>") << int(FailureKind::TooDeep) << 1
        << 3 * maximumStreamNestingDepth + 9;
}

void tst_StreamAdjust::refused()
{
    QFETCH(QByteArray, input);
    QFETCH(int, status);
    QFETCH(int, line);
    QFETCH(int, column);

    Outcome window;
    if (line < 0) {
        QDomDocument document;
        window = loadXmlBytes(document, input);
        QVERIFY(!window.succeeded());
    }
    const QList<qint64> sizes =
        input.size() > 100000 ? QList<qint64>{defaultStreamChunkSize} : chunkSizes;
    for (const qint64 chunkSize : sizes) {
        const StreamRun run = runStream(input, rule("x", "1"), chunkSize);
        QCOMPARE(statusOf(run.result.outcome), status);
        QVERIFY(!messageOf(run.result.outcome).isEmpty());
        if (line < 0) {
            QCOMPARE(messageOf(run.result.outcome), messageOf(window));
            QCOMPARE(run.result.outcome.failure().line, window.failure().line);
            QCOMPARE(run.result.outcome.failure().column, window.failure().column);
        } else {
            QCOMPARE(run.result.outcome.failure().line, qint64(line));
            QCOMPARE(run.result.outcome.failure().column, qint64(column));
        }
    }
}

void tst_StreamAdjust::agreesWithDomPath_data()
{
    QTest::addColumn<QString>("attribute");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<bool>("useAbove");
    QTest::addColumn<bool>("useBelow");

    const QByteArray document = readBytes(QFINDTESTDATA("../data/many-attributes.xml"));
    QTest::newRow("no bounds") << "lat" << document << false << false;
    QTest::newRow("above") << "lat" << document << true << false;
    QTest::newRow("below") << "lat" << document << false << true;
    QTest::newRow("between") << "lat" << document << true << true;
    QTest::newRow("references and defaults")
        << "v"
        << QByteArray("<!DOCTYPE r [<!ENTITY v \"7\"><!ATTLIST a v CDATA \"3\">]>"
                      "<r v=\"&#x34;2\"><a/><a v=\"&v;\"/><a v=\"1e2\"/><a v=\"-0\"/></r>")
        << true << false;
}

void tst_StreamAdjust::agreesWithDomPath()
{
    QFETCH(QString, attribute);
    QFETCH(QByteArray, input);
    QFETCH(bool, useAbove);
    QFETCH(bool, useBelow);

    AdjustmentRule adjustment = rule(attribute, "-2.5");
    adjustment.useAbove = useAbove;
    adjustment.above = 0;
    adjustment.useBelow = useBelow;
    adjustment.below = 40;

    const StreamRun run = runStream(input, adjustment);
    QVERIFY2(run.result.succeeded(), qPrintable(messageOf(run.result.outcome)));

    QDomDocument viaDom;
    QVERIFY(loadXmlText(viaDom, decodeXmlBytes(input)).succeeded());
    const int domCount = adjustAttributes(viaDom, adjustment);
    QDomDocument viaStream;
    QVERIFY(loadXmlText(viaStream, decodeXmlBytes(run.output)).succeeded());
    QCOMPARE(canonicalXml(viaStream), canonicalXml(viaDom));
    // The DOM does not add defaults from the document type, so it adjusts just the
    // values written in the text.
    QCOMPARE(run.result.adjustedCount, qint64(domCount));
}

QByteArray manyAttributes(int count)
{
    QByteArray attributes;
    for (int i = 1; i < count; ++i)
        attributes += " a" + QByteArray::number(i) + "=\"1\"";
    return attributes + " x=\"1\"";
}

void tst_StreamAdjust::lookaheadBounds_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<bool>("refused");

    const int bound = int(maximumAttributesPerTag);
    const QByteArray quotes(3 * bound, '"');
    const QByteArray apostrophes(3 * bound, '\'');
    QTest::newRow("at the bound") << "<r" + manyAttributes(bound) + "/>" << false;
    QTest::newRow("one beyond") << "<r" + manyAttributes(bound + 1) + "/>" << true;
    QTest::newRow("each tag at the bound")
        << "<r" + manyAttributes(bound) + "><e" + manyAttributes(bound) + "/></r>" << false;
    // Quotes that are not around attribute values do not count.
    QTest::newRow("comment") << "<r x='1'><!-- ' " + quotes + " --></r>" << false;
    QTest::newRow("CDATA") << "<r x='1'><![CDATA[<a " + quotes + "]]></r>" << false;
    QTest::newRow("instruction") << "<r x='1'><?pi <a " + quotes + "?></r>" << false;
    QTest::newRow("text") << "<r x='1'>" + quotes + apostrophes + "</r>" << false;
    QTest::newRow("other quotes inside a value") << "<r x='1' y='" + quotes + "'/>" << false;
    QTest::newRow("document type")
        << "<!DOCTYPE r [<!-- it's ]> --><!ENTITY e \"" + apostrophes +
               "\"><?pi ']>?><!ATTLIST r y CDATA '>'>]><r x='1'>" + quotes + "</r>"
        << false;
}

// The parser compares each attribute of a tag with every other; past the bound such
// a tag is refused before the parser sees it, whatever markup came before.
void tst_StreamAdjust::lookaheadBounds()
{
    QFETCH(QByteArray, input);
    QFETCH(bool, refused);
    for (const qint64 chunkSize : {qint64(5), defaultStreamChunkSize}) {
        const StreamRun run = runStream(input, rule("x", "1"), chunkSize);
        QCOMPARE(statusOf(run.result.outcome), refused ? int(FailureKind::TooLarge) : succeeded);
        if (refused)
            QVERIFY(messageOf(run.result.outcome)
                        .contains(QRegularExpression("more than \\d+ attributes")));
        else
            QVERIFY(run.result.adjustedCount >= 1);
    }
}

void tst_StreamAdjust::deepNesting()
{
    // Fifty times the window's bound.
    const int levels = 50 * maximumNestingDepth;
    const StreamRun run = runStream(nested(levels, "<e x=\"1\"/>"), rule("x", "2"));
    QVERIFY2(run.result.succeeded(), qPrintable(messageOf(run.result.outcome)));
    QCOMPARE(run.output, nested(levels, "<e x=\"3\"/>"));
}

void tst_StreamAdjust::dryRunAndFailingOutput()
{
    const QByteArray input = "<r x=\"1\"><a x=\"2\"/></r>";
    QByteArray in = input;
    QBuffer inputDevice(&in);
    inputDevice.open(QIODevice::ReadOnly);
    const StreamAdjustResult counted = adjustXmlStream(inputDevice, nullptr, rule("x", "1"));
    QVERIFY(counted.succeeded());
    QCOMPARE(counted.adjustedCount, qint64(2));

    inputDevice.seek(0);
    QByteArray sink;
    QBuffer readOnlyOutput(&sink);
    readOnlyOutput.open(QIODevice::ReadOnly);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("device not open|ReadOnly"));
    const StreamAdjustResult failed = adjustXmlStream(inputDevice, &readOnlyOutput, rule("x", "1"));
    QCOMPARE(statusOf(failed.outcome), int(FailureKind::CannotWrite));
}

QTEST_GUILESS_MAIN(tst_StreamAdjust)
#include "tst_streamadjust.moc"
