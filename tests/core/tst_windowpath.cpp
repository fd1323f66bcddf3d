// SPDX-License-Identifier: MIT
// The window's path: a document read into the DOM, adjusted and written again.
#include "dom/attributewalk.h"
#include "dom/xmlinput.h"
#include "dom/xmloutput.h"
#include "initialize.h"

#include "outcomes.h"
#include "rules.h"
#include "testfiles.h"
#include "xmlcompare.h"

#include <QDomDocument>
#include <QtTest>

using namespace xmladjust;

class tst_WindowPath : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { initializeCore(); }
    // Each NAME.xml in tests/data/window-path is read, has x increased by 1 and is saved
    // as the window's file mode does. NAME.saved holds the bytes it must come out as
    // (NAME.qt6.saved instead where Qt 6's serialiser orders the attributes otherwise);
    // without it the document must be refused, as not well-formed or as NAME.refused says.
    void savedBytes_data()
    {
        QTest::addColumn<QString>("path");
        const QDir folder(QFINDTESTDATA("../data/window-path"));
        const QStringList names = folder.entryList({QStringLiteral("*.xml")}, QDir::Files);
        QVERIFY(!names.isEmpty());
        for (const QString &name : names)
            QTest::newRow(qPrintable(name)) << folder.filePath(name);
    }

    void savedBytes()
    {
        QFETCH(QString, path);
        QDomDocument document;
        const Outcome load = loadXmlFile(document, path);
        QString saved = path.chopped(4) + ".saved";
        const QString savedByThisQt =
            path.chopped(4) + QString(".qt%1.saved").arg(QT_VERSION_MAJOR);
        if (QFile::exists(savedByThisQt))
            saved = savedByThisQt;
        const QString refused = path.chopped(4) + ".refused";
        if (!QFile::exists(saved)) {
            QCOMPARE(kindOf(load), QFile::exists(refused) ? QString(readBytes(refused)).trimmed()
                                                          : QString("NotWellFormed"));
            QVERIFY(!messageOf(load).isEmpty());
            return;
        }
        QVERIFY2(load.succeeded(), qPrintable(messageOf(load)));
        adjustAttributes(document, ruleFor("x", "1"));
        const QByteArray bytes = encodeXmlFile(document);
        QCOMPARE(bytes, readBytes(saved));
        QDomDocument reread;
        QVERIFY(loadXmlBytes(reread, bytes).succeeded());
        QCOMPARE(documentContent(reread), documentContent(document));
    }

    // What the window saves reads back as the same content, a character beyond the BMP
    // in a value and in text included, in each encoding the tests use.
    void beyondTheBmp_data()
    {
        QTest::addColumn<QString>("encoding");
        for (const char *name :
             {"UTF-8", "UTF-16", "UTF-16LE", "UTF-16BE", "UTF-32", "UTF-32LE", "UTF-32BE",
              "ISO-8859-1", "ISO-8859-15", "windows-1252", "windows-1251", "TIS-620", "Shift_JIS",
              "EUC-JP", "Big5", "GB18030", "EUC-KR"})
            QTest::newRow(name) << name;
    }

    void beyondTheBmp()
    {
        QFETCH(QString, encoding);
        QDomDocument document;
        QVERIFY(loadXmlText(document, QString("<?xml version='1.0' encoding='%1'?>"
                                              "<r x='1' v='a\U0001F600b'>t\U0001F600</r>")
                                          .arg(encoding))
                    .succeeded());
        const QByteArray bytes = encodeXmlFile(document);
        QDomDocument reread;
        const Outcome load = loadXmlBytes(reread, bytes);
        QVERIFY2(load.succeeded(), qPrintable(messageOf(load) + ": " + bytes.toHex()));
        QCOMPARE(documentContent(reread), documentContent(document));
    }

    void lineEnds_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("normalized");

        QTest::newRow("CRLF") << "a\r\nb\r\n"
                              << "a\nb\n";
        QTest::newRow("lone CR") << "a\rb\r"
                                 << "a\nb\n";
        QTest::newRow("CR CR LF") << "a\r\r\nb"
                                  << "a\n\nb";
        QTest::newRow("reference is data") << "a&#xd;\r\n"
                                           << "a&#xd;\n";
        QTest::newRow("byte order mark dropped") << QString("\ufeff<r/>") << "<r/>";
    }

    void lineEnds()
    {
        QFETCH(QString, text);
        QTEST(normalizeXmlText(text), "normalized");
    }

    // Text the window holds that no bytes could: written out, it would come back as
    // another character.
    void textRefused_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("lone surrogate") << QString("<r>a") + QChar(0xDC00) + "</r>";
        QTest::newRow("NUL") << QString("<r>a") + QChar(0) + "b</r>";
        QTest::newRow("surrogate pair cut in two") << QString("<r a='") + QChar(0xD83D) + "'/>";
    }

    void textRefused()
    {
        QFETCH(QString, text);
        QDomDocument document;
        QCOMPARE(kindOf(loadXmlText(document, text)), QString("NotWellFormed"));
    }
};

QTEST_GUILESS_MAIN(tst_WindowPath)
#include "tst_windowpath.moc"
