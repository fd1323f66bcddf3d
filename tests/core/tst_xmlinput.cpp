#include "bounds.h"
#include "encoding.h"
#include "initialize.h"
#include "outcomes.h"
#include "testfiles.h"
#include "xmlcompare.h"
#include "xmlinput.h"
#include "xmloutput.h"

#include <QDomDocument>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

using namespace xmladjust;

namespace {

QString nested(int levels, const QString &inner = QString())
{
    return QString("<e>").repeated(levels) + inner + QString("</e>").repeated(levels);
}

} // namespace

class tst_XmlInput : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { initializeCore(); }
    void lineEnds_data();
    void lineEnds();
    void depthThroughEntities_data();
    void depthThroughEntities();
    void depthLimit_data();
    void depthLimit();
    void millionLevelsRefused();
    void entityExpansion_data();
    void entityExpansion();
    void characterReferences_data();
    void characterReferences();
    void declaration_data();
    void declaration();
    void fileEncodings_data();
    void fileEncodings();
    void invalidBytes_data();
    void invalidBytes();
    void unreadableFile_data();
    void unreadableFile();
};

void tst_XmlInput::lineEnds_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("normalized");

    QTest::newRow("CRLF") << "a\r\nb\r\n"
                          << "a\nb\n";
    QTest::newRow("lone CR") << "a\rb\r"
                             << "a\nb\n";
    QTest::newRow("CR CR LF") << "a\r\r\nb"
                              << "a\n\nb";
    QTest::newRow("LF untouched") << "a\nb"
                                  << "a\nb";
    QTest::newRow("reference is data") << "a&#xd;\r\n"
                                       << "a&#xd;\n";
    QTest::newRow("byte order mark dropped") << QString("\ufeff<r/>") << "<r/>";
}

void tst_XmlInput::lineEnds()
{
    QFETCH(QString, text);
    QTEST(normalizeXmlText(text), "normalized");
}

void tst_XmlInput::depthLimit_data()
{
    QTest::addColumn<int>("levels");
    QTest::addColumn<int>("status");

    QTest::newRow("at the limit") << maximumNestingDepth << int(succeeded);
    QTest::newRow("above the limit") << maximumNestingDepth + 1 << int(FailureKind::TooDeep);
}

void tst_XmlInput::depthThroughEntities_data()
{
    QTest::addColumn<int>("rawLevels");
    QTest::addColumn<int>("status");

    // The entity adds 500 levels below the element that refers to it.
    QTest::newRow("at the limit") << maximumNestingDepth - 500 << int(succeeded);
    QTest::newRow("above the limit") << maximumNestingDepth - 499 << int(FailureKind::TooDeep);
}

void tst_XmlInput::depthThroughEntities()
{
    QFETCH(int, rawLevels);
    const QString text =
        "<!DOCTYPE e [<!ENTITY deep \"" + nested(500) + "\">]>" + nested(rawLevels, "&deep;");
    QDomDocument document;
    QTEST(statusOf(loadXmlText(document, text)), "status");
}

void tst_XmlInput::depthLimit()
{
    QFETCH(int, levels);
    QDomDocument document;
    const Outcome result = loadXmlText(document, nested(levels, "<x a='1'/>").mid(3).chopped(4));
    QTEST(statusOf(result), "status");
    QCOMPARE(document.documentElement().isNull(), !result.succeeded());
}

void tst_XmlInput::millionLevelsRefused()
{
    QDomDocument document;
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(statusOf(loadXmlText(document, nested(1000000))), int(FailureKind::TooDeep));
    qInfo("refused in %lld ms", timer.elapsed());
    QVERIFY(document.isNull() || document.documentElement().isNull());
}

void tst_XmlInput::entityExpansion_data()
{
    QTest::addColumn<QString>("declarations");
    QTest::addColumn<QString>("reference");
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("attribute");
    QTest::addColumn<int>("status");

    const QString big = "<!ENTITY c '" + QString(4000, 'c') + "'>";
    const int overBudget = int(maximumEntityExpansionTotal / 4000) + 1;
    QTest::newRow("within the budget") << big << "&c;" << overBudget - 1 << false << int(succeeded);
    QTest::newRow("beyond the budget")
        << big << "&c;" << overBudget << false << int(FailureKind::TooLarge);
    QTest::newRow("beyond, in an attribute")
        << big << "&c;" << overBudget << true << int(FailureKind::TooLarge);
    // Counted with what the entities inside them expand to.
    QTest::newRow("nested entities within the budget")
        << big + "<!ENTITY d '&c;&c;'>"
        << "&d;" << overBudget / 2 << false << int(succeeded);
    QTest::newRow("nested entities beyond the budget")
        << big + "<!ENTITY d '&c;&c;'>"
        << "&d;" << overBudget / 2 + 1 << false << int(FailureKind::TooLarge);
    QTest::newRow("declared through a parameter entity")
        << "<!ENTITY % p \"<!ENTITY b '" + QString(4000, 'b') + "'>\"> %p;"
        << "&b;" << overBudget << false << int(FailureKind::TooLarge);
    // The parser would put the reference before the text ahead of it.
    QTest::newRow("external entities are refused, never loaded")
        << "<!ENTITY e SYSTEM '/etc/hostname'>"
        << "x&e;" << 2 << false << int(FailureKind::NotWellFormed);
    QTest::newRow("undeclared entity") << ""
                                       << "x&u;" << 1 << false << int(FailureKind::NotWellFormed);
    QTest::newRow("undeclared entity inside a declared one")
        << "<!ENTITY a 'a'><!ENTITY b '&a;&u;'>"
        << "x&b;" << 1 << false << int(FailureKind::NotWellFormed);
    QTest::newRow("declared entities inside a declared one")
        << "<!ENTITY a 'a'><!ENTITY b '&a;&amp;&#65;'>"
        << "x&b;" << 1 << false << int(succeeded);
    QTest::newRow("predefined entities") << ""
                                         << "&amp;" << overBudget << false << int(succeeded);
}

void tst_XmlInput::entityExpansion()
{
    QFETCH(QString, declarations);
    QFETCH(QString, reference);
    QFETCH(int, count);
    QFETCH(bool, attribute);
    const QString references = reference.repeated(count);
    const QString text = "<!DOCTYPE r [" + declarations + "]>" +
                         (attribute ? "<r a='" + references + "'/>" : "<r>" + references + "</r>");
    QDomDocument document;
    QTEST(statusOf(loadXmlText(document, text)), "status");
}

void tst_XmlInput::characterReferences_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("equivalent"); // null: refused

    QTest::newRow("beyond the BMP in content") << "<r>a&#x1F600;b</r>"
                                               << "<r>a\U0001F600b</r>";
    QTest::newRow("decimal") << "<r>&#128512;&#65536;</r>"
                             << "<r>\U0001F600\U00010000</r>";
    QTest::newRow("in attribute values") << "<r a='&#x10FFFF;' b=\"&#x1d11e;\"/>"
                                         << "<r a='\U0010FFFF' b='\U0001D11E'/>";
    QTest::newRow("BMP left to the parser") << "<r a='&#x4e2d;'>&#xFFFD;</r>"
                                            << "<r a='\u4e2d'>\ufffd</r>";
    QTest::newRow("comment is literal") << "<r><!--&#x1F600;--></r>"
                                        << "<r><!--&#x1F600;--></r>";
    QTest::newRow("CDATA is literal") << "<r><![CDATA[&#x1F600;]]></r>"
                                      << "<r><![CDATA[&#x1F600;]]></r>";
    QTest::newRow("beyond Unicode") << "<r>&#x110000;</r>" << QString();
    QTest::newRow("NUL") << "<r a='&#0;'/>" << QString();
    QTest::newRow("control character") << "<r>&#x1;</r>" << QString();
    QTest::newRow("surrogate") << "<r>&#xD800;</r>" << QString();
    // Written out, it would come back as another character.
    QTest::newRow("lone surrogate in the text")
        << QString("<r>a") + QChar(0xDC00) + "</r>" << QString();
    QTest::newRow("NUL in the text") << QString("<r>a") + QChar(0) + "b</r>" << QString();
    QTest::newRow("surrogate pair cut in two")
        << QString("<r a='") + QChar(0xD83D) + "'/>" << QString();
    QTest::newRow("noncharacter") << "<r>&#xFFFE;</r>" << QString();
    QTest::newRow("tab, line feed, carriage return") << "<r a='&#9;&#xA;&#13;'>&#9;&#xA;&#13;</r>"
                                                     << "<r a='&#9;&#xA;&#13;'>&#9;&#xA;&#13;</r>";
}

void tst_XmlInput::characterReferences()
{
    QFETCH(QString, text);
    QFETCH(QString, equivalent);
    QDomDocument document;
    const Outcome result = loadXmlText(document, text);
    QCOMPARE(result.succeeded(), !equivalent.isNull());
    if (result.succeeded())
        QCOMPARE(canonicalXml(document), canonicalXml(equivalent));
}

void tst_XmlInput::declaration_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("status");

    const int loaded = succeeded;
    const int notWellFormed = int(FailureKind::NotWellFormed);
    QTest::newRow("plain") << QByteArray("<?xml version='1.0'?><r x='1'/>") << loaded;
    QTest::newRow("all three")
        << QByteArray("<?xml version=\"1.1\" encoding=\"ISO-8859-1\" standalone='yes' ?><r/>")
        << loaded;
    QTest::newRow("spaces around =")
        << QByteArray("<?xml version = '1.0' encoding\n= 'UTF-8'?><r/>") << loaded;
    // The serialiser writes these back between quotes of its own choosing, which the
    // value's own quote would end: the saved file could not be read again.
    QTest::newRow("quote in the version")
        << QByteArray("<?xml version=\"1'0\"?><r/>") << notWellFormed;
    QTest::newRow("quote in the encoding")
        << QByteArray("<?xml version='1.0' encoding=\"a'b\"?><r/>") << notWellFormed;
    QTest::newRow("encoding not a name")
        << QByteArray("<?xml version='1.0' encoding='Shif\xc3\xa9'?><r/>") << notWellFormed;
    QTest::newRow("version not a number")
        << QByteArray("<?xml version='one'?><r/>") << notWellFormed;
    QTest::newRow("instruction, not a declaration")
        << QByteArray("<?xmlr version=\"1'0\"?><r/>") << loaded;
    // Readable, but saving would write UTF-8 under a declaration that says otherwise.
    QTest::newRow("encoding the parser reads and Qt cannot write")
        << QByteArray("<?xml version='1.0' encoding='CP1125'?><r/>")
        << int(FailureKind::UnsupportedEncoding);
    // libxml2 reads the byte as U+F8C8, which Qt's codec cannot write back; text
    // would take a reference, a comment cannot.
    QTest::newRow("character the encoding cannot write back, in a comment")
        << QByteArray("<?xml version='1.0' encoding='MS874'?><!-- \xff --><r/>")
        << int(FailureKind::UnsupportedEncoding);
    QTest::newRow("the same character in text")
        << QByteArray("<?xml version='1.0' encoding='MS874'?><r>\xff</r>") << loaded;
}

// What loads must come back from its own saved bytes.
void tst_XmlInput::declaration()
{
    QFETCH(QByteArray, bytes);
    QDomDocument document;
    const Outcome result = loadXmlBytes(document, bytes);
    QTEST(statusOf(result), "status");
    if (!result.succeeded())
        return;
    QDomDocument reloaded;
    const Outcome again = loadXmlBytes(reloaded, encodeXmlFile(document));
    QVERIFY2(again.succeeded(), qPrintable(messageOf(again)));
}

void tst_XmlInput::fileEncodings_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text"); // of the element `r`

    const QString utf16Doc(
        "<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n<r>\u00e9\u4e2d\r\n</r>");
    QTest::newRow("UTF-16 with byte order mark")
        << QTextCodec::codecForName("UTF-16")->fromUnicode(utf16Doc) << QString("\u00e9\u4e2d\n");
    QTest::newRow("UTF-16BE with byte order mark")
        << QTextCodec::codecForName("UTF-16BE")->fromUnicode(utf16Doc) << QString("\u00e9\u4e2d\n");
    // The mark shows UTF-32, whatever byte order the declaration's "UTF-32" suggests.
    const QString utf32Doc(
        "\ufeff<?xml version=\"1.0\" encoding=\"UTF-32\"?><r>\u00e9\U0001F600</r>");
    QTest::newRow("UTF-32LE with byte order mark")
        << utf32Bytes(utf32Doc, false) << QString("\u00e9\U0001F600");
    QTest::newRow("UTF-32BE with byte order mark")
        << utf32Bytes(utf32Doc, true) << QString("\u00e9\U0001F600");
    QTest::newRow("UTF-8 with byte order mark")
        << QByteArray("\xef\xbb\xbf<r>\xc3\xa9</r>") << QString("\u00e9");
    QTest::newRow("windows-1251 declared")
        << QByteArray("<?xml version='1.0' encoding='windows-1251'?><r>\xc0\xc1</r>")
        << QString("\u0410\u0411");
    // Not a declaration: the instruction's target is "xmlr". Its pseudo-attribute must
    // not decide the reading, since the writer will not honour it either.
    QTest::newRow("instruction that looks like a declaration")
        << QByteArray("<?xmlr encoding=\"Shift_JIS\"?><r>\xe8\xa1\xa8</r>") << QString("\u8868");
    QTest::newRow("CR as reference stays") << QByteArray("<r>a&#xd;\r\nb</r>") << QString("a\r\nb");
}

void tst_XmlInput::fileEncodings()
{
    QFETCH(QByteArray, bytes);
    QTemporaryDir dir;
    QVERIFY(writeBytes(dir.filePath("doc.xml"), bytes));

    QDomDocument document;
    const Outcome result = loadXmlFile(document, dir.filePath("doc.xml"));
    QVERIFY2(result.succeeded(), qPrintable(messageOf(result)));
    QTEST(document.documentElement().text(), "text");
}

void tst_XmlInput::invalidBytes_data()
{
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("UTF-8 lead byte without its follower")
        << QByteArray("<r x=\"1\">\n ok \xc3\x28</r>");
    QTest::newRow("UTF-8 encoded surrogate") << QByteArray("<r x='\xed\xa0\x80'/>");
    QTest::newRow("UTF-8 cut off in a character") << QByteArray("<r x='1'/>\xe2\x82");
    QTest::newRow("declared Shift_JIS, invalid pair")
        << QByteArray("<?xml version='1.0' encoding='Shift_JIS'?>\n<r x='1'>\x81\x20</r>");
    QTest::newRow("UTF-32 unit beyond Unicode") << QByteArray(
        "\xff\xfe\0\0<\0\0\0r\0\0\0>\0\0\0\0\0\x11\0<\0\0\0/\0\0\0r\0\0\0>\0\0\0", 36);
}

// Read as U+FFFD, saving would replace the original bytes.
void tst_XmlInput::invalidBytes()
{
    QFETCH(QByteArray, bytes);
    QDomDocument document;
    QCOMPARE(statusOf(loadXmlBytes(document, bytes)), int(FailureKind::NotWellFormed));
}

void tst_XmlInput::unreadableFile_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("status");

    QTest::newRow("missing") << "missing.xml" << int(FailureKind::CannotRead);
    QTest::newRow("directory") << "." << int(FailureKind::NotRegularFile);
    QTest::newRow("empty path") << "" << int(FailureKind::CannotRead);
    QTest::newRow("not XML") << "binary.xml" << int(FailureKind::NotWellFormed);
    QTest::newRow("too large") << "large.xml" << int(FailureKind::TooLarge);
#ifdef Q_OS_UNIX
    QTest::newRow("endless device") << "/dev/zero" << int(FailureKind::CannotRead);
#endif
}

void tst_XmlInput::unreadableFile()
{
    QFETCH(QString, name);
    QTemporaryDir dir;
    QVERIFY(writeBytes(dir.filePath("binary.xml"), QByteArray("\x00\x01\xff<\x00", 5)));
    QFile large(dir.filePath("large.xml"));
    QVERIFY(large.open(QIODevice::WriteOnly) && large.resize(maximumXmlFileSize + 1));
    large.close();

    QDomDocument document;
    const QString path = name.isEmpty() ? name : dir.filePath(name);
    QTEST(statusOf(loadXmlFile(document, path)), "status");
    QVERIFY(!QFileInfo::exists(dir.filePath("missing.xml")));
}

QTEST_GUILESS_MAIN(tst_XmlInput)
#include "tst_xmlinput.moc"
