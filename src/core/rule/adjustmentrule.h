// SPDX-License-Identifier: MIT
#ifndef ADJUSTMENTRULE_H
#define ADJUSTMENTRULE_H

#include "rule/decimalnumber.h"

#include <QString>

#include <optional>

namespace xmladjust {

// A new value's text that is a short plain numeral, held without the toolkit's
// strings: in ASCII, as every encoding whose markup is read in its bytes writes it.
struct NumeralText
{
    char bytes[48];
    int length = 0;

    QLatin1String view() const { return QLatin1String(bytes, length); }
};

// What to change: the attribute, the increment, and the optional strict bounds
// that the current value must lie between; optionally only on elements of one name.
struct AdjustmentRule
{
    QString attributeName;
    QString elementName; // as written, prefix included; empty for every element
    DecimalNumber increment;
    bool useAbove = false;
    double above = 0.0; // with useAbove, only values strictly greater are adjusted
    bool useBelow = false;
    double below = 0.0; // with useBelow, only values strictly less are adjusted

    // The window's spin boxes hold five decimals.
    static constexpr int spinBoxDecimals = 5;
    static DecimalNumber incrementFromSpinBox(double value)
    {
        return DecimalNumber::fromDouble(value, spinBoxDecimals);
    }

    // Nothing to do for an empty name or a zero increment.
    bool isEffective() const { return !attributeName.isEmpty() && !increment.isZero(); }

    bool appliesTo(QStringView element) const
    {
        return elementName.isEmpty() || elementName == element;
    }

    // Both enabled bounds hold for the value before the increment (false for NaN).
    bool qualifies(double value) const;

    // The new text for an attribute value, or nothing when the value does not
    // convert to a number, does not qualify, or would be written exactly as it is
    // ("nan" + 1 is "nan", where "NaN" + 1 is "nan" too, but a new text).
    std::optional<QString> adjustedValue(QStringView text) const;

    enum class NumeralAnswer
    {
        NotShort, // not a short plain numeral: adjustedValue() answers
        Left,     // left as it is
        Adjusted  // the new text is given
    };
    // adjustedValue() for a value read from its bytes (ASCII, Latin-1 or UTF-8) where
    // it is a short plain numeral, nearly every real value: answered without the
    // toolkit's strings, with the same results.
    NumeralAnswer adjustedNumeral(QLatin1String text, NumeralText *newText) const;
};

} // namespace xmladjust

#endif // ADJUSTMENTRULE_H
