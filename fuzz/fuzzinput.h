// SPDX-License-Identifier: MIT
#ifndef FUZZINPUT_H
#define FUZZINPUT_H

// What both fuzz targets share: the settings read from the input's first bytes, an
// exact decimal sum written independently of the engine's, and a crash that names
// the broken promise.

#include "initialize.h"
#include "outcomes.h"
#include "rule/adjustmentrule.h"

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>

namespace fuzz {

using namespace xmladjust;

constexpr int settingsBytes = 4;

[[noreturn]] inline void broken(const char *promise, const QString &detail = {})
{
    std::fprintf(stderr, "broken promise: %s\n%s\n", promise, qPrintable(detail.left(2000)));
    std::abort();
}

inline void require(bool holds, const char *promise, const QString &detail = {})
{
    if (!holds)
        broken(promise, detail);
}

// Byte 0 picks the attribute and the increment, byte 1 the conditions, bytes 2 and 3
// the thresholds; the rest is the document.
struct FuzzCase
{
    AdjustmentRule rule;
    QByteArray document;
};

inline std::optional<FuzzCase> readCase(const uint8_t *data, size_t size)
{
    if (size < size_t(settingsBytes))
        return std::nullopt;
    static const char *const names[] = {"lat", "a", "x", "b:c", "v", "lon", "id", "xmlns:a"};
    static const char *const increments[] = {
        "0.5", "-1", "0.00001", "1000000", "-0.125", "3", "-99999.99999", "12345678901234567890.1"};
    static const double thresholds[] = {0, -1, 0.5, 10, 45, -1e6, 1e300, 3.25};
    FuzzCase fuzzCase;
    fuzzCase.rule.attributeName = QString::fromLatin1(names[data[0] & 7]);
    fuzzCase.rule.increment =
        *DecimalNumber::fromNumeral(QString::fromLatin1(increments[(data[0] >> 3) & 7]));
    fuzzCase.rule.useAbove = data[1] & 1;
    fuzzCase.rule.useBelow = data[1] & 2;
    fuzzCase.rule.above = thresholds[data[2] & 7];
    fuzzCase.rule.below = thresholds[data[3] & 7];
    fuzzCase.document =
        QByteArray(reinterpret_cast<const char *>(data + settingsBytes), int(size - settingsBytes));
    return fuzzCase;
}

// Splits a plain numeral ([+-]digits[.digits]) into sign, digits and scale.
struct Numeral
{
    bool negative = false;
    QByteArray digits; // without the point
    int scale = 0;     // digits after the point
};

inline std::optional<Numeral> readNumeral(QString text)
{
    text = text.trimmed();
    Numeral numeral;
    int pos = 0;
    if (pos < text.size() && (text[pos] == QLatin1Char('+') || text[pos] == QLatin1Char('-')))
        numeral.negative = text[pos++] == QLatin1Char('-');
    bool point = false;
    bool anyDigit = false;
    for (; pos < text.size(); ++pos) {
        const QChar c = text[pos];
        if (c >= QLatin1Char('0') && c <= QLatin1Char('9')) {
            numeral.digits += char(c.unicode());
            anyDigit = true;
            if (point)
                ++numeral.scale;
        } else if (c == QLatin1Char('.') && !point) {
            point = true;
        } else {
            return std::nullopt;
        }
    }
    if (!anyDigit)
        return std::nullopt;
    return numeral;
}

// a - b as the digits of a number scaled by 10^scale, for non-negative magnitudes.
inline QByteArray scaledMagnitude(const Numeral &n, int scale)
{
    QByteArray digits = n.digits + QByteArray(scale - n.scale, '0');
    while (digits.size() > 1 && digits[0] == '0')
        digits.remove(0, 1);
    return digits;
}

inline int compareMagnitudes(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    return a < b ? -1 : a == b ? 0 : 1;
}

// Schoolbook sum of two signed scaled integers.
inline QByteArray signedSum(bool aNegative, QByteArray a, bool bNegative, QByteArray b)
{
    const int width = std::max(a.size(), b.size()) + 1;
    a = QByteArray(width - a.size(), '0') + a;
    b = QByteArray(width - b.size(), '0') + b;
    QByteArray result(width, '0');
    bool negative = aNegative;
    if (aNegative == bNegative) {
        int carry = 0;
        for (int i = width - 1; i >= 0; --i) {
            const int digit = (a[i] - '0') + (b[i] - '0') + carry;
            result[i] = char('0' + digit % 10);
            carry = digit / 10;
        }
    } else {
        if (compareMagnitudes(a, b) < 0) {
            std::swap(a, b);
            negative = bNegative;
        }
        int borrow = 0;
        for (int i = width - 1; i >= 0; --i) {
            int digit = (a[i] - '0') - (b[i] - '0') - borrow;
            borrow = digit < 0;
            result[i] = char('0' + digit + (borrow ? 10 : 0));
        }
    }
    while (result.size() > 1 && result[0] == '0')
        result.remove(0, 1);
    if (result == "0")
        negative = false;
    return (negative ? "-" : "") + result;
}

// True when `after` is exactly `before` plus `increment`, all plain numerals.
inline bool isExactSum(const QString &before, const QString &increment, const QString &after)
{
    const std::optional<Numeral> a = readNumeral(before);
    const std::optional<Numeral> b = readNumeral(increment);
    const std::optional<Numeral> c = readNumeral(after);
    if (!a || !b || !c)
        return false;
    const int scale = std::max({a->scale, b->scale, c->scale});
    const QByteArray sum =
        signedSum(a->negative, scaledMagnitude(*a, scale), b->negative, scaledMagnitude(*b, scale));
    const QByteArray expected = signedSum(c->negative, scaledMagnitude(*c, scale), false, "0");
    return sum == expected;
}

// What the rule must make of a value: the exact sum for a plain numeral, the
// engine's own answer otherwise (exponent forms and the like go through a double).
inline void checkAdjustedValue(const AdjustmentRule &rule, const QString &before,
                               const QString &after)
{
    const std::optional<QString> adjusted = rule.adjustedValue(before);
    if (!adjusted) {
        require(after == before, "a value that does not qualify is left as it was",
                before + QLatin1String(" -> ") + after);
        return;
    }
    require(after == *adjusted, "a qualifying value gets the rule's new text",
            before + QLatin1String(" -> ") + after);
    if (readNumeral(before))
        require(isExactSum(before, rule.increment.toString(), after),
                "a plain numeral gets the exact decimal sum",
                before + QLatin1String(" + ") + rule.increment.toString() + QLatin1String(" != ") +
                    after);
}

} // namespace fuzz

// libFuzzer calls this once before any input, and so does the replayer.
// Defined here, once in each target, which includes this header in one file.
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    xmladjust::initializeCore();
    return 0;
}

#endif // FUZZINPUT_H
