// SPDX-License-Identifier: MIT
#ifndef DECIMALNUMBER_H
#define DECIMALNUMBER_H

#include <QByteArray>
#include <QString>

#include <optional>

namespace xmladjust {

// An exact decimal number of any length, so that adding 0.2 to "10" gives "10.2"
// and not the binary neighbour "10.199999999999999".
class DecimalNumber
{
public:
    DecimalNumber() = default;

    // A plain decimal numeral: optional sign, digits with an optional point and
    // optional fraction, or a point followed by digits. No exponent, no spaces.
    static std::optional<DecimalNumber> fromNumeral(const QString &text);
    // The same, ignoring white space around the numeral as QString::toDouble does.
    static std::optional<DecimalNumber> fromTrimmedNumeral(const QString &text);
    // The value rounded to a fixed number of decimals, as QString::number(value, 'f', decimals).
    static DecimalNumber fromDouble(double value, int decimals);

    bool isZero() const { return m_digits.isEmpty(); }
    bool isNegative() const { return m_negative; }
    double toDouble() const;
    // The value as units / 10^scale, when its digits fit in 18 decimal places
    // (units then leaves room in 64 bits for a sum); false otherwise.
    bool toScaledInteger(qint64 *units, int *scale, int *digits) const;

    // Shortest canonical text: no plus sign, no superfluous zeros, "0" for zero.
    QString toString() const;

    friend DecimalNumber operator+(const DecimalNumber &a, const DecimalNumber &b);
    friend bool operator==(const DecimalNumber &a, const DecimalNumber &b)
    {
        return a.m_negative == b.m_negative && a.m_scale == b.m_scale && a.m_digits == b.m_digits;
    }

private:
    void normalize();

    bool m_negative = false;
    // The value is m_digits / 10^m_scale; m_digits has no leading zeros and is empty for zero.
    QByteArray m_digits;
    int m_scale = 0;
};

} // namespace xmladjust

#endif // DECIMALNUMBER_H
