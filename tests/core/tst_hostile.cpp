// Documents made to hurt a parser, through both engines: the window's (read, parse,
// adjust, write) and the streaming one. Each must end without a crash, in time that
// follows its size, and change nothing unless it is a well-formed document with
// qualifying values.
#include "adjustmentrule.h"
#include "attributewalk.h"
#include "bounds.h"
#include "encoding.h"
#include "initialize.h"
#include "outcomes.h"
#include "streamadjust.h"
#include "testfiles.h"
#include "xmlinput.h"
#include "xmloutput.h"

#include <QBuffer>
#include <QDomDocument>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

using namespace xmladjust;

constexpr int anyRefusal = -2;

namespace {

const QByteArray secret = "secret-3f1c9a-never-to-be-read";

// Under AddressSanitizer the largest documents are a tenth the size: what it looks
// for does not depend on size, and the suite runs there too.
#if defined(__SANITIZE_ADDRESS__)
constexpr int scale = 10;
#else
constexpr int scale = 1;
#endif

AdjustmentRule addOneTo(const QString &attribute)
{
    AdjustmentRule rule;
    rule.attributeName = attribute;
    rule.increment = *DecimalNumber::fromNumeral(QStringLiteral("1"));
    return rule;
}

QByteArray repeated(const QByteArray &piece, int count)
{
    QByteArray result;
    result.reserve(piece.size() * count);
    for (int i = 0; i < count; ++i)
        result += piece;
    return result;
}

// The documents are made when the row runs, so that only one is in memory at a time.
QByteArray hostileDocument(const QString &kind, const QString &secretPath)
{
    if (kind == "empty")
        return {};
    if (kind == "binary") {
        QRandomGenerator random(7);
        QByteArray bytes(1 << 20, '\0');
        random.fillRange(reinterpret_cast<quint32 *>(bytes.data()), bytes.size() / 4);
        return bytes;
    }
    if (kind == "invalid UTF-8")
        return "<r x=\"1\">caf\xe9 \xc3\x28 \xed\xa0\x80</r>";
    if (kind == "entities nested 200,000 deep") {
        QByteArray entities = "<!ENTITY e0 \"x\">";
        for (int level = 1; level < 200000 / scale; ++level)
            entities += "<!ENTITY e" + QByteArray::number(level) + " \"&e" +
                        QByteArray::number(level - 1) + ";\">";
        return "<!DOCTYPE r [" + entities + "]><r x=\"1\">&e" +
               QByteArray::number(200000 / scale - 1) + ";</r>";
    }
    if (kind == "billion laughs") {
        QByteArray entities = "<!ENTITY l0 \"lol\">";
        for (int level = 1; level <= 9; ++level)
            entities += "<!ENTITY l" + QByteArray::number(level) + " \"" +
                        repeated("&l" + QByteArray::number(level - 1) + ";", 10) + "\">";
        return "<!DOCTYPE r [" + entities + "]><r x=\"1\">&l9;</r>";
    }
    if (kind == "many references to a large entity")
        return "<!DOCTYPE r [<!ENTITY big \"" + QByteArray(4000, 'b') + "\">]><r x=\"1\">" +
               repeated("&big;", 100000) + "</r>";
    if (kind == "large entity referred to across many runs") {
        const QByteArray run = "<e>" + repeated("&big;", 1000) + "</e>";
        return "<!DOCTYPE r [<!ENTITY big \"" + QByteArray(4000, 'b') + "\">]><r x=\"1\">" +
               repeated(run, 20) + "</r>";
    }
    if (kind == "external entity") {
        const QByteArray url = QUrl::fromLocalFile(secretPath).toEncoded();
        return "<!DOCTYPE r [<!ENTITY s SYSTEM \"" + url + "\">]><r x=\"1\">&s;</r>";
    }
    if (kind == "external document type")
        return "<!DOCTYPE r SYSTEM \"" + QUrl::fromLocalFile(secretPath).toEncoded() +
               "\"><r x=\"1\"/>";
    if (kind == "100 MB attribute value")
        return "<r v=\"" + QByteArray((100 << 20) / scale, 'v') + "\" x=\"1\"/>";
    if (kind == "a million attributes") {
        QByteArray tag = "<r";
        for (int i = 0; i < 1000000 / scale; ++i)
            tag += " a" + QByteArray::number(i) + "=\"1\"";
        return tag + " x=\"1\"/>";
    }
    if (kind == "a million siblings")
        return "<r>" + repeated("<e x=\"1\"/>", 1000000 / scale) + "</r>";
    return "unknown kind";
}

} // namespace

class tst_Hostile : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { initializeCore(); }
    void bothEngines_data();
    void bothEngines();
};

void tst_Hostile::bothEngines_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("windowStatus"); // a statusOf()
    QTest::addColumn<int>("streamStatus"); // a statusOf(), or anyRefusal
    QTest::addColumn<int>("adjusted");

    const int loaded = succeeded;
    const int notWellFormed = int(FailureKind::NotWellFormed);
    const int adjusted = succeeded;
    const int refused = anyRefusal;
    QTest::newRow("empty") << "empty" << notWellFormed << int(FailureKind::NotWellFormed) << 0;
    QTest::newRow("binary") << "binary" << notWellFormed << refused << 0;
    QTest::newRow("invalid UTF-8")
        << "invalid UTF-8" << notWellFormed << int(FailureKind::UnsupportedEncoding) << 0;
    // What entities expand to is counted before the parser expands them.
    QTest::newRow("billion laughs")
        << "billion laughs" << int(FailureKind::TooLarge) << int(FailureKind::TooLarge) << 0;
    // The parser refuses entities nested deeper than it expands.
    QTest::newRow("entities nested 200,000 deep")
        << "entities nested 200,000 deep" << notWellFormed << int(FailureKind::NotWellFormed) << 0;
    QTest::newRow("many references to a large entity")
        << "many references to a large entity" << int(FailureKind::TooLarge)
        << int(FailureKind::TooLarge) << 0;
    QTest::newRow("large entity referred to across many runs")
        << "large entity referred to across many runs" << int(FailureKind::TooLarge)
        << int(FailureKind::TooLarge) << 0;
    // A reference to text that is not in the document is refused; the file is not read.
    QTest::newRow("external entity")
        << "external entity" << notWellFormed << int(FailureKind::NotWellFormed) << 0;
    QTest::newRow("external document type") << "external document type" << loaded << adjusted << 1;
    QTest::newRow("100 MB attribute value") << "100 MB attribute value" << loaded << adjusted << 1;
    QTest::newRow("a million attributes")
        << "a million attributes" << int(FailureKind::TooLarge) << int(FailureKind::TooLarge) << 0;
    QTest::newRow("a million siblings")
        << "a million siblings" << loaded << adjusted << 1000000 / scale;
}

void tst_Hostile::bothEngines()
{
    QFETCH(QString, kind);
    QFETCH(int, windowStatus);
    QFETCH(int, streamStatus);
    QFETCH(int, adjusted);

    QTemporaryDir dir;
    const QString secretPath = dir.filePath("secret.txt");
    QVERIFY(writeBytes(secretPath, secret));
    const QString path = dir.filePath("doc.xml");
    QVERIFY(writeBytes(path, hostileDocument(kind, secretPath)));
    const AdjustmentRule rule = addOneTo("x");

    // The window's file mode.
    {
        QDomDocument document;
        const Outcome load = loadXmlFile(document, path);
        QCOMPARE(statusOf(load), windowStatus);
        if (load.succeeded()) {
            QCOMPARE(adjustAttributes(document, rule), adjusted);
            const QByteArray saved = encodeXmlFile(document);
            QVERIFY(!saved.contains(secret));
            QDomDocument again;
            QVERIFY(loadXmlBytes(again, saved).succeeded());
        } else {
            QVERIFY(!messageOf(load).isEmpty());
        }
    }

    // The streaming engine.
    QFile input(path);
    QVERIFY(input.open(QIODevice::ReadOnly));
    QByteArray output;
    QBuffer outputDevice(&output);
    outputDevice.open(QIODevice::WriteOnly);
    const StreamAdjustResult result = adjustXmlStream(input, &outputDevice, rule);
    if (streamStatus == anyRefusal)
        QVERIFY(!result.succeeded());
    else
        QCOMPARE(statusOf(result.outcome), streamStatus);
    if (!result.succeeded()) {
        QVERIFY(!messageOf(result.outcome).isEmpty());
        return;
    }
    QCOMPARE(result.adjustedCount, qint64(adjusted));
    QVERIFY(!output.contains(secret));
    QCOMPARE(output.size(), int(input.size())); // "1" became "2" wherever it changed
}

QTEST_GUILESS_MAIN(tst_Hostile)
#include "tst_hostile.moc"
