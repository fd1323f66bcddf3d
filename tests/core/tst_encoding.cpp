// SPDX-License-Identifier: MIT
// How each path tells a document's encoding, and where each character's bytes are.
#include "read/encoding.h"
#include "stream/bytecursor.h"

#include "datarows.h"

#include <QTextCodec>

using namespace xmladjust;

class tst_Encoding : public QObject
{
    Q_OBJECT

private slots:
    void detection_data() { addDataRows(QFINDTESTDATA("../data/encodings.tsv")); }
    void detection()
    {
        QFETCH(QByteArray, head);
        QFETCH(QByteArray, stream);
        const InputEncoding encoding = detectStreamEncoding(head);
        if (stream.startsWith("error: ")) {
            QVERIFY2(encoding.error.startsWith(stream.mid(7)), qPrintable(encoding.error));
        } else {
            QCOMPARE(encoding.error, QString());
            QCOMPARE(encoding.codec->name(), stream);
            QTEST(QByteArray::number(encoding.byteOrderMarkLength), "mark");
            QTEST(QByteArray(encoding.markupInBytes ? "yes" : "no"), "bytes");
        }
        QTextCodec *window = documentEncoding(head).codec;
        QTEST(window ? window->name() : QByteArray("UTF-8"), "window");
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
        for (char32_t u = 1; u <= 0x10FFFF; u += u < 0xFFFF ? 1 : 0x1003) {
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
