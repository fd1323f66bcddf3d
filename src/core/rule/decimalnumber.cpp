// SPDX-License-Identifier: MIT
#include "rule/decimalnumber.h"

#include <algorithm>
#include <cstring>

namespace xmladjust {

namespace {

bool isAsciiDigit(QChar c)
{
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

// Magnitude comparison of two digit strings of equal length.
int compareAligned(const QByteArray &a, const QByteArray &b)
{
    return std::memcmp(a.constData(), b.constData(), size_t(a.size()));
}

QByteArray addAligned(const QByteArray &a, const QByteArray &b)
{
    QByteArray sum(a.size() + 1, '0');
    int carry = 0;
    for (int i = a.size() - 1; i >= 0; --i) {
        const int d = (a[i] - '0') + (b[i] - '0') + carry;
        sum[i + 1] = char('0' + d % 10);
        carry = d / 10;
    }
    sum[0] = char('0' + carry);
    return sum;
}

// a - b for a >= b, both of equal length.
QByteArray subtractAligned(const QByteArray &a, const QByteArray &b)
{
    QByteArray difference(a.size(), '0');
    int borrow = 0;
    for (int i = a.size() - 1; i >= 0; --i) {
        int d = (a[i] - '0') - (b[i] - '0') - borrow;
        borrow = d < 0 ? 1 : 0;
        difference[i] = char('0' + d + 10 * borrow);
    }
    return difference;
}

} // namespace

std::optional<DecimalNumber> DecimalNumber::fromNumeral(const QString &text)
{
    const int length = text.size();
    int i = 0;
    DecimalNumber number;
    if (i < length && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-'))) {
        number.m_negative = text[i] == QLatin1Char('-');
        ++i;
    }
    int integerDigits = 0;
    int fractionDigits = 0;
    QByteArray digits;
    digits.reserve(length);
    while (i < length && isAsciiDigit(text[i])) {
        digits.append(char(text[i].unicode()));
        ++integerDigits;
        ++i;
    }
    if (i < length && text[i] == QLatin1Char('.')) {
        ++i;
        while (i < length && isAsciiDigit(text[i])) {
            digits.append(char(text[i].unicode()));
            ++fractionDigits;
            ++i;
        }
    }
    if (i != length || integerDigits + fractionDigits == 0)
        return std::nullopt;
    number.m_digits = digits;
    number.m_scale = fractionDigits;
    number.normalize();
    return number;
}

std::optional<DecimalNumber> DecimalNumber::fromTrimmedNumeral(const QString &text)
{
    int begin = 0;
    int end = text.size();
    while (begin < end && text[begin].isSpace())
        ++begin;
    while (end > begin && text[end - 1].isSpace())
        --end;
    return fromNumeral(text.mid(begin, end - begin));
}

DecimalNumber DecimalNumber::fromDouble(double value, int decimals)
{
    // 'f' formatting of a finite double is always a plain numeral.
    return fromNumeral(QString::number(value, 'f', decimals)).value_or(DecimalNumber());
}

double DecimalNumber::toDouble() const
{
    return toString().toDouble();
}

bool DecimalNumber::toScaledInteger(qint64 *units, int *scale, int *digits) const
{
    if (m_digits.size() > 18)
        return false;
    qint64 value = 0;
    for (const char digit : m_digits)
        value = value * 10 + (digit - '0');
    *units = m_negative ? -value : value;
    *scale = m_scale;
    *digits = m_digits.size();
    return true;
}

QString DecimalNumber::toString() const
{
    if (isZero())
        return QStringLiteral("0");
    QByteArray text = m_digits;
    if (text.size() <= m_scale)
        text.prepend(QByteArray(m_scale - text.size() + 1, '0'));
    if (m_scale > 0)
        text.insert(text.size() - m_scale, '.');
    if (m_negative)
        text.prepend('-');
    return QString::fromLatin1(text);
}

void DecimalNumber::normalize()
{
    int trailingZeros = 0;
    while (trailingZeros < m_scale && trailingZeros < m_digits.size() &&
           m_digits[m_digits.size() - 1 - trailingZeros] == '0')
        ++trailingZeros;
    m_digits.chop(trailingZeros);
    m_scale -= trailingZeros;
    int leadingZeros = 0;
    while (leadingZeros < m_digits.size() && m_digits[leadingZeros] == '0')
        ++leadingZeros;
    m_digits.remove(0, leadingZeros);
    if (m_digits.isEmpty()) {
        m_negative = false; // never "-0"
        m_scale = 0;
    }
}

DecimalNumber operator+(const DecimalNumber &a, const DecimalNumber &b)
{
    const int scale = std::max(a.m_scale, b.m_scale);
    QByteArray left = a.m_digits + QByteArray(scale - a.m_scale, '0');
    QByteArray right = b.m_digits + QByteArray(scale - b.m_scale, '0');
    const int width = std::max(left.size(), right.size());
    left.prepend(QByteArray(width - left.size(), '0'));
    right.prepend(QByteArray(width - right.size(), '0'));

    DecimalNumber result;
    result.m_scale = scale;
    if (a.m_negative == b.m_negative) {
        result.m_negative = a.m_negative;
        result.m_digits = addAligned(left, right);
    } else if (compareAligned(left, right) >= 0) {
        result.m_negative = a.m_negative;
        result.m_digits = subtractAligned(left, right);
    } else {
        result.m_negative = b.m_negative;
        result.m_digits = subtractAligned(right, left);
    }
    result.normalize();
    return result;
}

} // namespace xmladjust
