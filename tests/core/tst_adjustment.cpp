// SPDX-License-Identifier: MIT
// The number rule: which texts are numbers, which values qualify, and the new text.
#include "datarows.h"
#include "rules.h"

using namespace xmladjust;

class tst_Adjustment : public QObject
{
    Q_OBJECT

private slots:
    void numeral_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("canonical"); // null: not a plain numeral

        QTest::newRow("plus sign") << "+3"
                                   << "3";
        QTest::newRow("leading and trailing zeros") << "007.500"
                                                    << "7.5";
        QTest::newRow("negative zero") << "-0.000"
                                       << "0";
        QTest::newRow("many digits") << "123456789012345678901234567890.000000000000000000001"
                                     << "123456789012345678901234567890.000000000000000000001";
        for (const char *text : {".", "-", "1e3", "1.2.3", "\u0661", "", " 1", "inf", "0x1"})
            QTest::addRow("'%s'", text) << QString(text) << QString();
    }

    void numeral()
    {
        QFETCH(QString, text);
        QFETCH(QString, canonical);
        const std::optional<DecimalNumber> number = DecimalNumber::fromNumeral(text);
        QCOMPARE(number.has_value(), !canonical.isNull());
        if (number)
            QCOMPARE(number->toString(), canonical);
    }

    void newValue_data() { addDataRows(QFINDTESTDATA("../data/number-rule.tsv")); }
    void newValue()
    {
        QFETCH(QByteArray, value);
        QFETCH(QByteArray, increment);
        QFETCH(QByteArray, above);
        QFETCH(QByteArray, below);
        const AdjustmentRule rule = ruleFor("x", increment, above, below);
        const std::optional<QString> adjusted = rule.adjustedValue(QString::fromUtf8(value));
        QTEST(adjusted.value_or("(unchanged)").toUtf8(), "new");

        // The streaming engine's way with a value's bytes answers the same where it answers.
        NumeralText numeral;
        switch (rule.adjustedNumeral(QLatin1String(value), &numeral)) {
        case AdjustmentRule::NumeralAnswer::Adjusted:
            QTEST(QByteArray(numeral.bytes, numeral.length), "new");
            break;
        case AdjustmentRule::NumeralAnswer::Left:
            QTEST(QByteArray("(unchanged)"), "new");
            break;
        case AdjustmentRule::NumeralAnswer::NotShort:
            break;
        }
    }
};

QTEST_GUILESS_MAIN(tst_Adjustment)
#include "tst_adjustment.moc"
