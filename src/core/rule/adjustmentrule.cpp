// SPDX-License-Identifier: MIT
#include "rule/adjustmentrule.h"

#include <QLocale>

#include <algorithm>

namespace xmladjust {

bool AdjustmentRule::qualifies(double value) const
{
    const bool aboveHolds = !useAbove || value > above;
    const bool belowHolds = !useBelow || value < below;
    return aboveHolds && belowHolds;
}

namespace {

// Digits that fit in 64 bits with room for a sum.
constexpr int maximumShortDigits = 18;

// A plain numeral short enough for exact arithmetic in integers: units / 10^scale.
struct ShortNumeral
{
    qint64 units = 0;
    int scale = 0;
    int digits = 0; // in units, without leading zeros
    bool negative = false;
};

// `Text`: QStringView, or QLatin1String for a value's bytes.
template <typename Text> std::optional<ShortNumeral> readShortNumeral(Text text)
{
    ShortNumeral numeral;
    qsizetype i = 0;
    if (i < text.size() && (text[i].unicode() == '+' || text[i].unicode() == '-'))
        numeral.negative = text[i++].unicode() == '-';
    bool point = false;
    bool anyDigit = false;
    quint64 units = 0;
    for (; i < text.size(); ++i) {
        const ushort c = text[i].unicode();
        if (c >= '0' && c <= '9') {
            anyDigit = true;
            if (point)
                ++numeral.scale;
            if (units == 0 && c == '0')
                continue;
            if (++numeral.digits > maximumShortDigits)
                return std::nullopt;
            units = units * 10 + (c - '0');
        } else if (c == '.' && !point) {
            point = true;
        } else {
            return std::nullopt;
        }
    }
    if (!anyDigit)
        return std::nullopt;
    numeral.units = numeral.negative ? -qint64(units) : qint64(units);
    return numeral;
}

qint64 powerOfTen(int exponent)
{
    qint64 power = 1;
    while (exponent-- > 0)
        power *= 10;
    return power;
}

// The canonical text of units / 10^scale, as DecimalNumber::toString() writes it.
NumeralText scaledText(qint64 units, int scale)
{
    NumeralText text;
    if (units == 0) {
        text.bytes[text.length++] = '0';
        return text;
    }
    quint64 magnitude = units < 0 ? 0 - quint64(units) : quint64(units);
    while (scale > 0 && magnitude % 10 == 0) {
        magnitude /= 10;
        --scale;
    }
    char reversed[48];
    int count = 0;
    do {
        reversed[count++] = char('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    while (count <= scale)
        reversed[count++] = '0';
    if (units < 0)
        text.bytes[text.length++] = '-';
    for (int i = count - 1; i >= 0; --i) {
        text.bytes[text.length++] = reversed[i];
        if (i == scale && i > 0)
            text.bytes[text.length++] = '.';
    }
    return text;
}

template <typename Text> bool sameText(const NumeralText &numeral, Text text)
{
    if (text.size() != numeral.length)
        return false;
    for (int i = 0; i < numeral.length; ++i) {
        if (text[i].unicode() != uchar(numeral.bytes[i]))
            return false;
    }
    return true;
}

// Nearly every real value is a short plain numeral; those are read and added in
// integers, with the same results as the general way (adjustedByConversion()). Up to
// 15 digits and 22 decimals the quotient of two exact doubles is the correctly rounded
// value, as the toolkit's conversion gives it.
template <typename Text>
AdjustmentRule::NumeralAnswer adjustShortNumeral(const AdjustmentRule &rule, Text text,
                                                 NumeralText *newText)
{
    using Answer = AdjustmentRule::NumeralAnswer;
    qint64 incrementUnits = 0;
    int incrementScale = 0;
    int incrementDigits = 0;
    const std::optional<ShortNumeral> numeral = readShortNumeral(text);
    if (!numeral || numeral->digits > 15 || numeral->scale > 22 ||
        !rule.increment.toScaledInteger(&incrementUnits, &incrementScale, &incrementDigits))
        return Answer::NotShort;
    const int scale = std::max(numeral->scale, incrementScale);
    if (numeral->digits + scale - numeral->scale > maximumShortDigits ||
        incrementDigits + scale - incrementScale > maximumShortDigits)
        return Answer::NotShort;
    static constexpr double powersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                             1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                             1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const double magnitude = double(qAbs(numeral->units)) / powersOfTen[numeral->scale];
    if (!rule.qualifies(numeral->negative ? -magnitude : magnitude))
        return Answer::Left;
    *newText = scaledText(numeral->units * powerOfTen(scale - numeral->scale) +
                              incrementUnits * powerOfTen(scale - incrementScale),
                          scale);
    // Left where the sum would be written exactly as the value is.
    return sameText(*newText, text) ? Answer::Left : Answer::Adjusted;
}

// Any text the toolkit converts to a number.
std::optional<QString> adjustedByConversion(const AdjustmentRule &rule, const QString &text)
{
    bool converted = false;
    const double value = text.toDouble(&converted);
    if (!converted || !rule.qualifies(value))
        return std::nullopt;

    // A value written as a plain numeral gets the exact decimal sum; anything else
    // that converts (exponent form, inf, nan) gets the shortest text of the double sum.
    if (const std::optional<DecimalNumber> numeral = DecimalNumber::fromTrimmedNumeral(text))
        return (*numeral + rule.increment).toString();
    return QString::number(value + rule.increment.toDouble(), 'g', QLocale::FloatingPointShortest);
}

// A value is adjusted exactly when its new text is not the text as written: "NaN" + 1
// becomes "nan" and "1e300" + 1 becomes "1e+300", but "nan" + 1 and "inf" + 1 stay as
// they are, and a file in which nothing else changes need not be written.
std::optional<QString> unlessUnchanged(std::optional<QString> newText, QStringView text)
{
    if (newText && *newText == text)
        return std::nullopt;
    return newText;
}

} // namespace

std::optional<QString> AdjustmentRule::adjustedValue(QStringView text) const
{
    if (text.isEmpty())
        return std::nullopt;
    NumeralText numeral;
    switch (adjustShortNumeral(*this, text, &numeral)) {
    case NumeralAnswer::Adjusted:
        return QString::fromLatin1(numeral.bytes, numeral.length);
    case NumeralAnswer::Left:
        return std::nullopt;
    case NumeralAnswer::NotShort:
        break;
    }
    return unlessUnchanged(adjustedByConversion(*this, text.toString()), text);
}

AdjustmentRule::NumeralAnswer AdjustmentRule::adjustedNumeral(QLatin1String text,
                                                              NumeralText *newText) const
{
    return adjustShortNumeral(*this, text, newText);
}

} // namespace xmladjust
