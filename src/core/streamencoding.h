#ifndef STREAMENCODING_H
#define STREAMENCODING_H

#include <QString>

#include <vector>

class QTextCodec;

// How the streaming engine reads a document's bytes, and how characters it decoded
// map back to them.
enum class ByteForm
{
    Utf8,
    Utf16,
    Utf32,
    Latin1,
    Other // measured character by character
};

struct InputEncoding
{
    QTextCodec *codec = nullptr;
    ByteForm form = ByteForm::Utf8;
    int byteOrderMarkLength = 0;
    // Markup can be found in the bytes themselves: every byte below 0x80 is that
    // ASCII character, and no other character is written with such a byte.
    bool markupInBytes = true;
    QString error; // why the document cannot be read; empty when it can
};

// The XML declaration is read from the first bytes; it has to fit in them.
constexpr int encodingDetectionBytes = 4096;

// A byte order mark first, then the shape of "<?" in the first bytes, then the
// encoding the XML declaration names; UTF-8 when nothing says otherwise.
InputEncoding detectStreamEncoding(const QByteArray &head);

// Follows decoded text from its start, giving the byte offset at which each of its
// characters begins; for the encodings whose markup is not read in the bytes
// themselves (UTF-16, UTF-32, and the others character by character). It moves
// forward only.
class ByteCursor
{
public:
    ByteCursor(const InputEncoding &encoding);

    qint64 character() const { return m_character; }
    qint64 byte() const { return m_byte; }
    // Moves to `position`, reading the characters [character(), position) at `text`.
    void advance(const QChar *text, qint64 position);

private:
    qint64 encodedLength(const QChar *begin, const QChar *end);

    QTextCodec *m_codec;
    ByteForm m_form;
    std::vector<quint8> m_lengths; // bytes per character, 0 until known; ByteForm::Other
    qint64 m_character = 0;
    qint64 m_byte = 0;
};

// The text in the codec's bytes, without a byte order mark.
QByteArray encodeWithoutMark(QTextCodec *codec, QStringView text);

#endif // STREAMENCODING_H
