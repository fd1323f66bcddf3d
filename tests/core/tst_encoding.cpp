#include "bytecursor.h"
#include "encoding.h"

#include <QTextCodec>
#include <QtTest>

using namespace xmladjust;

class tst_Encoding : public QObject
{
    Q_OBJECT

private slots:
    void detection_data();
    void detection();
    void characterToByte_data();
    void characterToByte();
};

void tst_Encoding::detection_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<QString>("stream");          // codec, or "error: " and part of the reason
    QTest::addColumn<int>("byteOrderMarkLength"); // for the stream
    QTest::addColumn<bool>("markupInBytes");
    QTest::addColumn<QString>("window"); // the codec the window decodes with

    const QByteArray latin1 = "<?xml version='1.0' encoding='ISO-8859-1'?><r/>";
    QTest::newRow("nothing said") << QByteArray("<r/>") << "UTF-8" << 0 << true << "UTF-8";
    QTest::newRow("UTF-8 mark") << QByteArray("\xEF\xBB\xBF<r/>") << "UTF-8" << 3 << true
                                << "UTF-8";
    QTest::newRow("UTF-8 mark, another encoding declared")
        << "\xEF\xBB\xBF" + latin1 << "UTF-8" << 3 << true << "ISO-8859-1";
    QTest::newRow("declared ISO-8859-1") << latin1 << "ISO-8859-1" << 0 << true << "ISO-8859-1";
    QTest::newRow("UTF-16LE mark")
        << QByteArray("\xFF\xFE<\0", 4) << "UTF-16LE" << 2 << false << "UTF-16LE";
    QTest::newRow("UTF-16BE by its first bytes")
        << QByteArray("\0<\0r", 4) << "UTF-16BE" << 0 << false << "UTF-16BE";
    QTest::newRow("UTF-32LE mark")
        << QByteArray("\xFF\xFE\0\0<\0\0\0", 8) << "UTF-32LE" << 4 << false << "UTF-32LE";
    QTest::newRow("UTF-32BE by its first bytes")
        << QByteArray("\0\0\0<", 4) << "UTF-32BE" << 0 << false << "UTF-32BE";
    QTest::newRow("declared windows-1251")
        << QByteArray("<?xml version='1.0' encoding='windows-1251'?><r/>") << "windows-1251" << 0
        << true << "windows-1251";
    QTest::newRow("declared Shift_JIS, whose characters use ASCII bytes")
        << QByteArray("<?xml version=\"1.0\" encoding=\"Shift_JIS\"?><r/>") << "Shift_JIS" << 0
        << false << "Shift_JIS";
    QTest::newRow("declared CESU-8, which writes ASCII as ASCII")
        << QByteArray("<?xml version='1.0' encoding='CESU-8'?><r/>") << "CESU-8" << 0 << true
        << "CESU-8";
    QTest::newRow("declared UTF-16 with no mark")
        << QByteArray("<?xml version='1.0' encoding='UTF-16'?><r/>")
        << "error: the declaration names UTF-16" << 0 << true << "UTF-16";
    QTest::newRow("unknown encoding")
        << QByteArray("<?xml version='1.0' encoding='x-nonesuch'?><r/>")
        << "error: unsupported encoding \"x-nonesuch\"" << 0 << true << "UTF-8";
    QTest::newRow("an instruction that is no declaration")
        << QByteArray("<?xmlr encoding='ISO-8859-1'?><r/>") << "UTF-8" << 0 << true << "UTF-8";
    QTest::newRow("declaration longer than is searched")
        << "<?xml version='1.0'" + QByteArray(declarationSearchBytes, ' ') +
               "encoding='ISO-8859-1'?><r/>"
        << "UTF-8" << 0 << true << "UTF-8";
}

// Both paths decide from the same evidence in the same order; they differ only where
// UTF-8's mark meets a declaration.
void tst_Encoding::detection()
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

void tst_Encoding::characterToByte_data()
{
    QTest::addColumn<QByteArray>("codec");
    for (const char *name : {"UTF-16LE", "UTF-16BE", "UTF-32LE", "UTF-32BE", "Shift_JIS", "Big5",
                             "GB18030", "EUC-KR", "IBM850", "windows-1252"})
        QTest::newRow(name) << QByteArray(name);
}

// Every character the codec can write, one after another: the cursor's bytes for
// each are where the text's bytes hold that character's.
void tst_Encoding::characterToByte()
{
    QFETCH(QByteArray, codec);
    InputEncoding encoding;
    encoding.codec = QTextCodec::codecForName(codec);
    QVERIFY(encoding.codec);
    const int mib = encoding.codec->mibEnum();
    encoding.form = mib == 1013 || mib == 1014 ? ByteForm::Utf16
                    : isUtf32(mib)             ? ByteForm::Utf32
                                               : ByteForm::Other;
    QString text;
    for (uint u = 1; u <= 0xffff; ++u) {
        if (!QChar::isSurrogate(u) && encoding.codec->canEncode(QChar(u)))
            text += QChar(u);
    }
    for (const uint astral : {0x10000u, 0x1F600u, 0x10FFFFu}) {
        const QString pair = QString::fromUcs4(&astral, 1);
        if (encoding.codec->canEncode(pair))
            text += pair;
    }
    const QByteArray bytes = isUtf32(mib) ? QByteArray() : encodeWithoutMark(encoding.codec, text);
    ByteCursor cursor(encoding);
    for (int i = 0; i < text.size();) {
        const int length = text.at(i).isHighSurrogate() ? 2 : 1;
        const qint64 begin = cursor.byte().offset();
        cursor.advance(text.constData() + i, CharacterPosition(i + length));
        const qint64 size = cursor.byte().offset() - begin;
        if (isUtf32(mib)) {
            QCOMPARE(size, qint64(4));
        } else {
            const QByteArray written =
                encodeWithoutMark(encoding.codec, QStringView(text).mid(i, length));
            if (bytes.mid(int(begin), int(size)) != written)
                QFAIL(qPrintable(QStringLiteral("U+%1 at byte %2")
                                     .arg(text.at(i).unicode(), 4, 16, QLatin1Char('0'))
                                     .arg(begin)));
        }
        i += length;
    }
    if (!isUtf32(mib))
        QCOMPARE(cursor.byte().offset(), qint64(bytes.size()));
}

QTEST_GUILESS_MAIN(tst_Encoding)
#include "tst_encoding.moc"
