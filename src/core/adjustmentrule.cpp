#include "adjustmentrule.h"

#include <QLocale>

bool AdjustmentRule::qualifies(double value) const
{
    const bool aboveHolds = !useAbove || value > above;
    const bool belowHolds = !useBelow || value < below;
    return aboveHolds && belowHolds;
}

std::optional<QString> AdjustmentRule::adjustedValue(const QString &text) const
{
    if (text.isEmpty())
        return std::nullopt;
    bool converted = false;
    const double value = text.toDouble(&converted);
    if (!converted || !qualifies(value))
        return std::nullopt;

    // A value written as a plain numeral gets the exact decimal sum; anything else
    // that converts (exponent form, inf, nan) gets the shortest text of the double sum.
    if (const std::optional<DecimalNumber> numeral = DecimalNumber::fromTrimmedNumeral(text))
        return (*numeral + increment).toString();
    return QString::number(value + increment.toDouble(), 'g', QLocale::FloatingPointShortest);
}
