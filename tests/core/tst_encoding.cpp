// How each path tells a document's encoding, and where each character's bytes are.
#include "bytecursor.h"
#include "encoding.h"

#include <QTextCodec>
#include <QtTest>

using namespace xmladjust;

class tst_Encoding : public QObject
{
    Q_OBJECT

private slots:
    // Both paths decide from the same evidence in the same order; they differ only where
    // UTF-8's mark meets a declaration. The documents of tests/data/cases show the rest.
    void detection_data()
    {
        QTest::addColumn<QByteArray>("head");
        QTest::addColumn<QString>("stream"); // codec, or "error: " and how the reason begins
        QTest::addColumn<int>("byteOrderMarkLength");
        QTest::addColumn<bool>("markupInBytes");
        QTest::addColumn<QString>("window"); // the codec the window decodes with

        const QByteArray latin1 = "<?xml version='1.0' encoding='ISO-8859-1'?><r/>";
        QTest::newRow("UTF-8 mark, another encoding declared")
            << "\xEF\xBB\xBF" + latin1 << "UTF-8" << 3 << true << "ISO-8859-1";
        QTest::newRow("UTF-16BE by its first bytes")
            << QByteArray("\0<\0r", 4) << "UTF-16BE" << 0 << false << "UTF-16BE";
        QTest::newRow("UTF-32LE mark")
            << QByteArray("\xFF\xFE\0\0<\0\0\0", 8) << "UTF-32LE" << 4 << false << "UTF-32LE";
        QTest::newRow("declared Shift_JIS, whose characters use ASCII bytes")
            << QByteArray("<?xml version=\"1.0\" encoding=\"Shift_JIS\"?><r/>") << "Shift_JIS" << 0
            << false << "Shift_JIS";
        QTest::newRow("declared CESU-8, which writes ASCII as ASCII")
            << QByteArray("<?xml version='1.0' encoding='CESU-8'?><r/>") << "CESU-8" << 0 << true
            << "CESU-8";
        QTest::newRow("declared UTF-16 with no mark")
            << QByteArray("<?xml version='1.0' encoding='UTF-16'?><r/>")
            << "error: the declaration names UTF-16" << 0 << true << "UTF-16";
        QTest::newRow("an instruction that is no declaration")
            << QByteArray("<?xmlr encoding='ISO-8859-1'?><r/>") << "UTF-8" << 0 << true << "UTF-8";
        QTest::newRow("declaration longer than is searched")
            << "<?xml version='1.0'" + QByteArray(declarationSearchBytes, ' ') +
                   "encoding='ISO-8859-1'?><r/>"
            << "UTF-8" << 0 << true << "UTF-8";
    }

    void detection()
    {
        QFETCH(QByteArray, head);
        QFETCH(QString, stream);
        const InputEncoding encoding = detectStreamEncoding(head);
        if (stream.startsWith("error: ")) {
            QVERIFY2(encoding.error.startsWith(stream.mid(7)), qPrintable(encoding.error));
        } else {
            QCOMPARE(encoding.error, QString());
            QCOMPARE(QString(encoding.codec->name()), stream);
            QTEST(encoding.byteOrderMarkLength, "byteOrderMarkLength");
            QTEST(encoding.markupInBytes, "markupInBytes");
        }
        QTextCodec *window = documentEncoding(head, Utf8MarkPolicy::DeclarationDecides).codec;
        QTEST(QString(window ? window->name() : "UTF-8"), "window");
    }

    void characterToByte_data()
    {
        QTest::addColumn<QByteArray>("codec");
        for (const char *name : {"UTF-16LE", "UTF-16BE", "UTF-32LE", "Shift_JIS", "Big5", "GB18030",
                                 "EUC-KR", "IBM850"})
            QTest::newRow(name) << QByteArray(name);
    }

    // Every character the codec can write, one after another: the cursor's bytes for
    // each are where the text's bytes hold that character's.
    void characterToByte()
    {
        QFETCH(QByteArray, codec);
        InputEncoding encoding;
        encoding.codec = QTextCodec::codecForName(codec);
        const int mib = encoding.codec->mibEnum();
        encoding.form = isWideUnicode(mib) ? (isUtf32(mib) ? ByteForm::Utf32 : ByteForm::Utf16)
                                           : ByteForm::Other;
        QString text;
        for (uint u = 1; u <= 0x10FFFF; u += u < 0xFFFF ? 1 : 0x1003) {
            const QString character = QString::fromUcs4(&u, 1);
            if (!QChar::isSurrogate(u) && encoding.codec->canEncode(character))
                text += character;
        }
        ByteCursor cursor(encoding);
        for (int i = 0; i < text.size();) {
            const int length = text.at(i).isHighSurrogate() ? 2 : 1;
            const qint64 begin = cursor.byte().offset();
            cursor.advance(text.constData() + i, CharacterPosition(i + length));
            const qint64 size =
                isUtf32(mib) ? 4 : encodeWithoutMark(encoding.codec, text.mid(i, length)).size();
            if (cursor.byte().offset() - begin != size)
                QFAIL(qPrintable(
                    QString("U+%1 at byte %2").arg(text.at(i).unicode(), 4, 16).arg(begin)));
            i += length;
        }
    }
};

QTEST_GUILESS_MAIN(tst_Encoding)
#include "tst_encoding.moc"
